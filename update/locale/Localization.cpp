#include "update/locale/Localization.h"

namespace {

// Resource handles from FindResourceExW and LoadResource belong to the loaded module
// and need no release, so this file holds no handle of its own.

// Entries per string-table block: block n holds the ids (n - 1) * 16 to n * 16 - 1.
constexpr int kStringsPerBlock = 16;

struct FoundLanguage {
    bool found = false;
    WORD language = 0;
};

BOOL CALLBACK TakeFirstLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) {
    auto* result = reinterpret_cast<FoundLanguage*>(param);
    result->found = true;
    result->language = language;
    return FALSE; // the first language is enough
}

// The string-table block with the given number, in whichever language it is tagged
// with (each block exists in one language only: the sets have their own id ranges), or
// null when the module has no such block.
HRSRC FindStringBlock(HMODULE module, WORD block) {
    FoundLanguage first;
    EnumResourceLanguagesW(module, RT_STRING, MAKEINTRESOURCEW(block), TakeFirstLanguage,
                           reinterpret_cast<LONG_PTR>(&first));
    if (!first.found)
        return nullptr;
    return FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(block), first.language);
}

} // namespace

WORD UiLanguage() {
    return UI_LANG_ENGLISH;
}

bool UseChineseFont() {
    return false;
}

int LocalizedIdFor(WORD language, int index) {
    return (language == UI_LANG_JAPANESE ? RES_BASE_JAPANESE : RES_BASE_ENGLISH) + index;
}

int LocalizedId(int index) {
    return LocalizedIdFor(UiLanguage(), index);
}

std::wstring LoadStringById(int id) {
    if (id < 0 || id > 0xFFFF)
        return {};
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC block = FindStringBlock(module, static_cast<WORD>(id / kStringsPerBlock + 1));
    if (!block)
        return {};
    HGLOBAL loaded = LoadResource(module, block);
    const auto* data = loaded ? static_cast<const WCHAR*>(LockResource(loaded)) : nullptr;
    if (!data)
        return {};

    // The block is 16 entries one after the other, each a character count followed by
    // that many UTF-16 code units without a terminator. Every step is checked against
    // the block's size, so a damaged block yields nothing rather than a read past it.
    const size_t units = SizeofResource(module, block) / sizeof(WCHAR);
    size_t pos = 0;
    for (int entry = 0; entry < id % kStringsPerBlock; ++entry) {
        if (pos >= units)
            return {};
        pos += 1 + static_cast<size_t>(data[pos]);
    }
    if (pos >= units)
        return {};
    const size_t count = data[pos];
    if (count == 0 || count > units - pos - 1)
        return {};
    return std::wstring(data + pos + 1, count);
}

std::wstring LoadLocalizedString(int index) {
    return LoadStringById(LocalizedId(index));
}
