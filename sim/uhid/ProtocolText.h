// Texts for the virtual receiver's log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// value in hexadecimal with a 0x prefix, at least digits digits.
std::string Hex(unsigned value, int digits);

// The name of a frame worth a line in the log: every one but polls, image data and data
// requests, which come by the thousand. Empty for those.
std::string FrameName(const std::uint8_t* frame, std::size_t size);
