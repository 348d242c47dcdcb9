#include "support/ScreenReader.h"

#include <oleacc.h>

namespace kxtest {
namespace {

constexpr GUID kIidAccessible = {
    0x618736E0, 0x3C3D, 0x11CF, {0x81, 0x0C, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

std::wstring Take(HRESULT hr, BSTR text) {
    std::wstring taken = SUCCEEDED(hr) && text ? std::wstring(text, SysStringLen(text)) : L"";
    SysFreeString(text);
    return taken;
}

} // namespace

ReadAloud ReadWindow(HWND hwnd) {
    ReadAloud read;
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IAccessible* object = nullptr;
    if (SUCCEEDED(AccessibleObjectFromWindow(hwnd, static_cast<DWORD>(OBJID_CLIENT), kIidAccessible,
                                             reinterpret_cast<void**>(&object))) &&
        object) {
        VARIANT self{};
        self.vt = VT_I4;
        self.lVal = CHILDID_SELF;
        BSTR text = nullptr;
        read.found = true;
        HRESULT hr = object->get_accName(self, &text);
        read.name = Take(hr, text);
        text = nullptr;
        hr = object->get_accValue(self, &text);
        read.value = Take(hr, text);
        text = nullptr;
        hr = object->get_accDescription(self, &text);
        read.description = Take(hr, text);
        text = nullptr;
        hr = object->get_accKeyboardShortcut(self, &text);
        read.shortcut = Take(hr, text);
        VARIANT role{};
        if (SUCCEEDED(object->get_accRole(self, &role)) && role.vt == VT_I4)
            read.role = role.lVal;
        VariantClear(&role);
        object->Release();
    }
    if (SUCCEEDED(com))
        CoUninitialize();
    return read;
}

} // namespace kxtest
