// Entry point of every test executable: initialises the common controls the product
// uses, then runs GoogleTest.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

int wmain(int argc, wchar_t** argv) {
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
