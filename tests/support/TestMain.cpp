// Entry point of every test executable: initialises the common controls the product
// uses, then runs GoogleTest. A crash on any thread ends the program at once, naming the
// test it happened in, so the run reports it straight away.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>

#include <gtest/gtest.h>

namespace {

// Writes straight to the standard error handle, which keeps nothing back: the C library's
// streams may be locked by the thread that crashed.
LONG WINAPI EndOnCrash(EXCEPTION_POINTERS* info) {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    char text[512];
    const int n = std::snprintf(text, sizeof(text), "\nCRASH in %s%s%s: exception 0x%08lX at %p\n",
                                test ? test->test_suite_name() : "no test", test ? "." : "",
                                test ? test->name() : "", info->ExceptionRecord->ExceptionCode,
                                info->ExceptionRecord->ExceptionAddress);
    DWORD written = 0;
    if (n > 0)
        ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text,
                    static_cast<DWORD>(std::min<int>(n, sizeof(text) - 1)), &written, nullptr);
    ::TerminateProcess(::GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    ::SetUnhandledExceptionFilter(EndOnCrash);
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
