#include "LibrariesTestSupport.h"

#include <algorithm>
#include <cwctype>

std::filesystem::path TestProgramDir() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::filesystem::path(path).parent_path();
}

std::filesystem::path BinDir() {
    return TestProgramDir().parent_path() / L"bin";
}

std::filesystem::path PlantedDir() {
    return TestProgramDir().parent_path() / L"planted";
}

std::wstring Lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), ::towlower);
    return text;
}

std::wstring SystemDir() {
    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    return Lower(system);
}

std::wstring LoadedFrom(const wchar_t* library) {
    const HMODULE module = ::GetModuleHandleW(library);
    wchar_t path[MAX_PATH] = {};
    if (!module || !::GetModuleFileNameW(module, path, MAX_PATH))
        return L"";
    return Lower(std::filesystem::path(path).parent_path().wstring());
}
