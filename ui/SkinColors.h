// The skin's colours, as the artwork has them.
#pragma once

#include <windows.h>

constexpr COLORREF kSkinBody = RGB(0xb4, 0x20, 0x2d);   // the main window's body
constexpr COLORREF kSkinPanel = RGB(0xc3, 0x4d, 0x57);  // the lighter panel colour
constexpr COLORREF kSkinPrompt = RGB(0x8d, 0x16, 0x1e); // the prompt's panel
constexpr COLORREF kSkinText = RGB(0xff, 0xff, 0xff);   // text on the skin
