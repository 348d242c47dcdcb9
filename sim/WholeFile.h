// Reading and writing a whole file at once, through its wide-character path.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// Writes bytes as the file's whole content, replacing any file of that name. The bytes
// go to "<path>.part" first, which then takes the name, so a reader never finds the file
// half written. Returns 0 on success, else the system error code of the step that
// failed (the partial file is removed).
DWORD WriteWholeFile(const std::wstring& path, const std::vector<std::uint8_t>& bytes);

// Reads a whole file into *bytes. Returns 0 on success, else the system error code.
DWORD ReadWholeFile(const std::wstring& path, std::vector<std::uint8_t>* bytes);
