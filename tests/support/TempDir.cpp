#include "support/TempDir.h"

#include <windows.h>

TempDir::TempDir() {
    static int count = 0;
    m_Dir =
        std::filesystem::temp_directory_path() /
        (L"kxtest-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++count));
    std::filesystem::create_directories(m_Dir);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_Dir, ignored);
}

ScopedCurrentDirectory::ScopedCurrentDirectory(const std::wstring& dir)
    : m_Previous(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
}

ScopedCurrentDirectory::~ScopedCurrentDirectory() {
    std::error_code ignored;
    std::filesystem::current_path(m_Previous, ignored);
}
