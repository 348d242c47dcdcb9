// Report framing: the senders that turn the update logic's requests into frames and
// write them to the receiver through its CHid.
#pragma once

#include "link/FirmwareHeader.h"
#include "link/LinkProtocol.h"

#include <cstdint>

class CHid;

// Writes the short command 0x00, code, 0x01, 0x00, value. Nonzero when written.
int SendShortCommand(CHid& hid, std::uint8_t code, std::uint8_t value);

// Writes a FRAME_LINK frame with this sub-code and p payload bytes (none for p <= 0).
// A SUB_DATA frame goes in pieces of at most DATA_PIECE_MAX bytes and stops at the first
// piece that fails; any other frame goes whole in one report. Returns 1 when every piece
// was written, 0 when one failed or the frame does not fit a report or the frame buffer.
int SendLinkFrame(CHid& hid, std::uint8_t sub, const std::uint8_t* payload, std::int32_t p);

// Writes the image header as a SUB_HEADER frame, its first four words big-endian.
int SendHeaderFrame(CHid& hid, FirmwareHeader header);

// Writes p image bytes as a SUB_DATA frame.
int SendDataFrame(CHid& hid, const std::uint8_t* payload, std::uint32_t p);

// Asks a mode-2 receiver to switch to mode 1 (CMD_SWITCH_MODE). Only when the device
// seen last is a mode-2 device and it opens; 1 when the request was written, else 0.
int RequestModeSwitch(CHid& hid);
