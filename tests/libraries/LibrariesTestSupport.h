// Shared pieces of the libraries tests: where the build puts its programs and the
// planted libraries, and where a loaded library came from.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

// The build's programs.
std::filesystem::path BinDir();

// The planted libraries (hid.dll, setupapi.dll, comctl32.dll) and the probe program that
// imports them by name.
std::filesystem::path PlantedDir();

// The test program's own folder.
std::filesystem::path TestProgramDir();

// Text in lower case, for comparing file names as Windows does.
std::wstring Lower(std::wstring text);

// The system folder, lower case.
std::wstring SystemDir();

// The folder a library of this name is loaded from in this process, lower case; empty
// when it is not loaded.
std::wstring LoadedFrom(const wchar_t* library);
