// The platform's file-open chooser for firmware images.
#pragma once

#include <windows.h>

#include <string>

// Lets the user choose a .dat image, owned by `owner`; the chooser opens in the current
// directory listing .dat files. Empty when the user closed it without a file. May run on
// any thread: the chooser belongs to the calling thread.
std::wstring ChooseImageFile(HWND owner);
