// Resource and control ids of Kestrix OV Tools. Included by the resource script and by
// the C++ code, so it holds plain #defines only.
#pragma once

// Dialog templates.
#define IDD_MAIN 102
#define IDD_PROMPT 111

// Program icon.
#define IDI_APP 110

// Controls of the main window and the prompt.
#define IDC_PROMPT_TEXT 114
#define IDC_GUIDE 115
#define IDC_VERSION 116
#define IDC_PROGRESS 119
#define IDC_BACKGROUND 120
#define IDC_BTN_UPDATE 123
#define IDC_BTN_OK 124
#define IDC_BTN_MINIMIZE 125
#define IDC_BTN_CLOSE 126
#define IDC_BTN_CANCEL 127
#define IDC_DEVICE_PANEL 136
#define IDC_VERSION_PANEL 138

// Bitmaps that every language shares.
#define IDB_TILE 129
#define IDB_MINIMIZE 130
#define IDB_MINIMIZE_HOVER 131
#define IDB_CLOSE 132
#define IDB_CLOSE_HOVER 133
#define IDB_PROMPT_BG 134

