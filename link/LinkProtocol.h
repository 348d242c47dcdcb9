// Codes and sizes of the link protocol spoken with the receiver over HID reports.
//
// Every report carries, after its report-number byte, a count byte and that many frame
// bytes. A frame starts 0x00, a type byte and a 16-bit little-endian length field; a
// FRAME_LINK frame's body starts with a sub-code. Multi-byte fields are little-endian.
#pragma once

#include <cstdint>

// Command codes: the type byte of a short command (0x00, code, 0x01, 0x00, value).
constexpr std::uint8_t CMD_START_UPDATE =
    0x1A;                               // announces an update; the receiver answers REPLY_READY
constexpr std::uint8_t CMD_POLL = 0x1D; // sent after every read that brought nothing
constexpr std::uint8_t CMD_SWITCH_MODE = 0x50; // asks a mode-2 receiver to come back in mode 1

// The frame type of link frames, in both directions.
constexpr std::uint8_t FRAME_LINK = 0x16;

// Sub-codes of link frames sent to the receiver.
constexpr std::uint8_t SUB_DATA = 0x00;          // up to 32 bytes of the image
constexpr std::uint8_t SUB_HEADER = 0x01;        // the 28-byte image header
constexpr std::uint8_t SUB_FINISH = 0x02;        // the whole image has been sent
constexpr std::uint8_t SUB_QUERY_VERSION = 0x04; // asks for the firmware version

// Sub-codes of link frames sent by the receiver.
constexpr std::uint8_t SUB_VERSION = 0x04;      // version word, little-endian, at frame bytes 7-10
constexpr std::uint8_t SUB_DATA_REQUEST = 0x14; // asks for the next block of the image
constexpr std::uint8_t SUB_FAILURE_1 = 0x15;    // the update has failed
constexpr std::uint8_t SUB_FAILURE_2 = 0x18;    // the update has failed

// Reply types (frame byte 1) other than FRAME_LINK.
constexpr std::uint8_t REPLY_ACK = 0x14;   // frame byte 4 holds a value
constexpr std::uint8_t REPLY_READY = 0x19; // the receiver is ready for the image header

// The REPLY_ACK value that ends an update as a success.
constexpr std::uint8_t ACK_UPDATE_DONE = 0x32;

// Offsets inside a frame.
constexpr int FRAME_TYPE_OFFSET = 1;
constexpr int FRAME_SUBCODE_OFFSET = 4;
constexpr int FRAME_VERSION_OFFSET = 7;

// Sizes.
constexpr int LINK_FRAME_MAX = 1024;   // largest frame the senders build
constexpr int LINK_FRAME_OVERHEAD = 7; // 0x00, type, length (2), sub-code, payload length (2)
constexpr int DATA_PIECE_MAX = 39;     // a SUB_DATA frame travels in pieces of at most this size
constexpr int IMAGE_HEADER_SIZE = 28;  // the image header carried by SUB_HEADER
constexpr int IMAGE_BLOCK_SIZE = 32;   // image bytes carried by one SUB_DATA frame

// The SUB_DATA frames an image of this many data bytes takes, and the bytes they carry
// (whole blocks, the last one read past the data as far as the file goes).
constexpr std::uint64_t ImageBlocks(std::uint64_t dataLength) {
    return (dataLength + IMAGE_BLOCK_SIZE - 1) / IMAGE_BLOCK_SIZE;
}
constexpr std::uint64_t WholeBlockBytes(std::uint64_t dataLength) {
    return ImageBlocks(dataLength) * IMAGE_BLOCK_SIZE;
}

// Report layout by device mode: mode 1 reports are 64 bytes with report number 0x81,
// mode 2 reports 65 bytes with report number 0x00; mode 0 means no receiver found.
constexpr int REPORT_LENGTH_MODE1 = 64;
constexpr int REPORT_LENGTH_MODE2 = 65;
constexpr std::uint8_t REPORT_ID_MODE1 = 0x81;
constexpr std::uint8_t REPORT_ID_MODE2 = 0x00;
