// Shared pieces of the framework tests: a test dialog and a plain window class.
#pragma once

#include "framework/Afx.h"

constexpr UINT IDD_FW_TEST = 9101;
constexpr int IDC_FW_STATIC = 9102;
constexpr int IDC_FW_EDIT = 9103;

// Registers (once) and returns the name of a window class whose procedure is
// DefWindowProcW, for windows the tests create through CWnd::CreateEx.
const wchar_t* PlainWindowClass();

// Ends a modal dialog, found by its caption on any thread, by posting it a message.
// Returns false when the dialog did not appear within the time-out.
bool PostToDialog(const wchar_t* caption, UINT msg, WPARAM wParam, LPARAM lParam = 0);
