// Numbers as people type them on a command line.
#pragma once

#include <cstdint>
#include <string>

enum class NumberRead { Ok, Malformed, TooLarge };

// Reads an unsigned 32-bit number written in decimal ("65536") or hexadecimal with a 0x
// or 0X prefix ("0x10000"): digits only, no sign, no blanks. *value is set only on Ok;
// TooLarge means well-formed but above 0xFFFFFFFF.
NumberRead ReadNumber(const std::wstring& text, std::uint32_t* value);
