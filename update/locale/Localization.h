// Choice of the user-interface language and the lookup of localized texts and pictures.
//
// Every user-visible text and localized picture is named by a small resource index.
// LocalizedId turns an index into the resource id of the language in use (the set's
// base plus the index); LoadLocalizedString loads a text by index from the program's own
// string tables. The language is a constant of the program: English.
#pragma once

#include <windows.h>

#include <string>

// Language identifiers the program distinguishes; every other one counts as English.
constexpr WORD UI_LANG_ENGLISH = 0x0409;
constexpr WORD UI_LANG_JAPANESE = 0x0411;

// First resource id of each language set. No language identifier selects the Chinese
// set; it stays in the resources with the others.
constexpr int RES_BASE_CHINESE = 3000;
constexpr int RES_BASE_ENGLISH = 4000;
constexpr int RES_BASE_JAPANESE = 5000;

// Picture indexes.
constexpr int PIC_BACKGROUND = 0;        // main window background, 420 x 327
constexpr int PIC_DEVICE_CONNECTED = 1;  // device panel: receiver connected
constexpr int PIC_DEVICE_ABSENT = 2;     // device panel: please insert the receiver
constexpr int PIC_VERSION_CONNECTED = 3; // version panel, dark look
constexpr int PIC_VERSION_ABSENT = 4;    // version panel, light look
constexpr int PIC_UPDATE_NORMAL = 5;     // update button
constexpr int PIC_UPDATE_DISABLED = 6;
constexpr int PIC_UPDATE_HOVER = 7;
constexpr int PIC_OK_NORMAL = 10; // prompt OK button, normal and disabled look
constexpr int PIC_OK_HOVER = 12;
constexpr int PIC_CANCEL_NORMAL = 13; // prompt Cancel button, normal and disabled look
constexpr int PIC_CANCEL_HOVER = 15;

// Text indexes. Index 20 has no text in any set.
constexpr int TXT_PAIRED = 8;
constexpr int TXT_CONFIRM_WORD = 9;
constexpr int TXT_GUIDE = 16;           // instructions in the main window
constexpr int TXT_OPEN_FILE_ERROR = 17; // the chosen image file cannot be opened
constexpr int TXT_BT_ADDRESS_FAILED = 18;
constexpr int TXT_FIRMWARE_TOO_OLD = 19;
constexpr int TXT_PAIRED_OK = 21; // English set only
constexpr int TXT_BT_ADDRESS_FORMAT = 22;
constexpr int TXT_TITLE = 23;           // window title, before the version
constexpr int TXT_FILE_TYPE = 24;       // file chooser filter description
constexpr int TXT_CONFIRM_VERSION = 25; // "... V%.02f": the image's version
constexpr int TXT_UPDATE_SUCCEEDED = 26;
constexpr int TXT_UPDATE_FAILED = 27;
constexpr int TXT_UPDATE_FAILED_BOOT = 28;
constexpr int TXT_ABORT_QUESTION = 29; // close button during an update
constexpr int TXT_PROMPT_CAPTION = 30;
constexpr int TXT_CONFIRM_VERSION_BETA = 31; // "... V%.02f  Beta%d"
constexpr int TXT_UPDATE_RUNNING = 32;       // why log-off or shut-down waits for the update
constexpr int TXT_UPDATE_INTERRUPTED = 33;   // "... (%s) ...": an update never ended, its version
constexpr int TXT_CRASH_SAVED = 34;          // "... %s ...": the tool crashed, where its dump is
// What a screen reader says of the controls whose meaning is drawn in pictures.
constexpr int TXT_UPDATE_BUTTON_NAME = 35; // with its access key ("&Update")
constexpr int TXT_MINIMIZE_BUTTON_NAME = 36;
constexpr int TXT_CLOSE_BUTTON_NAME = 37;
constexpr int TXT_RECEIVER_CONNECTED = 38; // the device panel's connected look
constexpr int TXT_RECEIVER_ABSENT = 39;    // the device panel's not-connected look
constexpr int TXT_VERSION_NAME = 40;       // said before the version text
constexpr int TXT_PROGRESS_NAME = 41;
constexpr int TXT_OK_BUTTON_NAME = 42; // the prompt's buttons
constexpr int TXT_CANCEL_BUTTON_NAME = 43;

// The language of the user interface: always UI_LANG_ENGLISH.
WORD UiLanguage();

// Whether the main window's instructions are set in the Chinese font: always false.
bool UseChineseFont();

// The resource id of an index in the given language: the index plus 5000 for
// UI_LANG_JAPANESE, plus 4000 for any other language. Plain arithmetic, no bounds check.
int LocalizedIdFor(WORD language, int index);

// LocalizedIdFor the language of the user interface.
int LocalizedId(int index);

// The text with the given resource id from the program's own string tables, found by id
// whatever the language the table is tagged with; empty when there is none (also for ids
// outside the 16-bit range). Never fails otherwise.
std::wstring LoadStringById(int id);

// The text of an index in the language of the user interface: LoadStringById of
// LocalizedId(index).
std::wstring LoadLocalizedString(int index);
