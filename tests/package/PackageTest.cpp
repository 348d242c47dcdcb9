// The release package as a user gets it: unpacked (by the test's set-up) into a folder
// whose name is not ASCII, it holds the tool, its guide and the notices, and the tool
// starts from there in its not-connected look.
#include "support/MainWindowHarness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "KestrixVersion.h"
#include "link/UniqueKernelHandle.h"

namespace {

namespace fs = std::filesystem;

// Where the set-up unpacked it: build/package-test/<the folder>/KestrixUpdater-...-win64.
fs::path Unpacked() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return fs::path(self).parent_path().parent_path() / L"package-test" /
           L"Pr\u00FCfung-\u6D4B\u8BD5" / (L"KestrixUpdater-" KX_VERSION_TEXT_W L"-win64");
}

std::string Text(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(Package, HoldsTheToolItsGuideAndTheNotices) {
    const fs::path folder = Unpacked();
    ASSERT_TRUE(fs::is_directory(folder)) << "not unpacked: " << folder.string();
    std::vector<std::wstring> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            names.push_back(fs::relative(entry.path(), folder).wstring());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names,
              (std::vector<std::wstring>{L"KestrixUpdater.exe", L"README.txt",
                                         L"notices\\GCC-RUNTIME-LIBRARY-EXCEPTION-3.1.txt",
                                         L"notices\\GPL-3.txt", L"notices\\NOTICES.txt",
                                         L"notices\\mingw-w64-runtime-and-winpthreads.txt"}));
    const std::string guide = Text(folder / L"README.txt");
    EXPECT_NE(guide.find("Kestrix OV Tools " KX_VERSION_TEXT), std::string::npos);
    EXPECT_NE(guide.find("history.log"), std::string::npos);
    EXPECT_NE(guide.find("\r\n"), std::string::npos); // Windows line ends, for Notepad
    EXPECT_NE(Text(folder / L"notices" / L"GCC-RUNTIME-LIBRARY-EXCEPTION-3.1.txt")
                  .find("GCC RUNTIME LIBRARY EXCEPTION"),
              std::string::npos);
    EXPECT_NE(
        Text(folder / L"notices" / L"mingw-w64-runtime-and-winpthreads.txt").find("winpthreads"),
        std::string::npos);
}

// What Explorer's properties and the signature show come from the build's one source.
TEST(Package, TheToolsVersionResourceNamesTheBuildsVersion) {
    const std::wstring program = (Unpacked() / L"KestrixUpdater.exe").wstring();
    std::vector<BYTE> info(GetFileVersionInfoSizeW(program.c_str(), nullptr));
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(GetFileVersionInfoW(program.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    const auto value = [&](const wchar_t* name) {
        wchar_t* text = nullptr;
        UINT length = 0;
        const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        return VerQueryValueW(info.data(), path.c_str(), reinterpret_cast<void**>(&text), &length)
                   ? std::wstring(text)
                   : std::wstring();
    };
    const auto wide = [](const char* text) { return std::wstring(text, text + strlen(text)); };
    EXPECT_EQ(value(L"CompanyName"), wide(KX_COMPANY_NAME));
    EXPECT_EQ(value(L"ProductName"), wide(KX_PRODUCT_NAME));
    EXPECT_EQ(value(L"FileDescription"), wide(KX_FILE_DESCRIPTION));
    EXPECT_EQ(value(L"ProductVersion"), KX_VERSION_TEXT_W);
    EXPECT_EQ(value(L"FileVersion"), KX_VERSION_TEXT_W);
}

TEST(Package, TheToolStartsFromThereNotConnected) {
    const fs::path program = Unpacked() / L"KestrixUpdater.exe";
    ASSERT_TRUE(fs::exists(program));
    std::wstring line = L"\"" + program.wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               program.parent_path().c_str(), &startup, &info));
    UniqueKernelHandle process(info.hProcess), thread(info.hThread);
    HWND window = kxtest::WaitForTopWindow(L"Kestrix OV Tools V" KX_VERSION_SHORT_W, nullptr,
                                           info.dwThreadId, 10000);
    ASSERT_NE(window, nullptr) << "the tool did not start";
    EXPECT_TRUE(kxtest::ShowsNotConnectedLook(window, L"package_not_connected"));
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForSingleObject(process.Get(), 10000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(process.Get(), &code);
    EXPECT_EQ(code, 0u);
}

} // namespace
