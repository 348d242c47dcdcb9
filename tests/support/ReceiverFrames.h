// The frames the receiver sends, as tests build them to check or to inject replies.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "link/LinkProtocol.h"

namespace kxtest {

using Frame = std::vector<std::uint8_t>;

inline Frame ReadyFrame() {
    return {0x00, REPLY_READY, 0x01, 0x00, 0x00};
}

// A FRAME_LINK frame with a sub-code and a 32-bit little-endian payload.
inline Frame LinkFrameWithWord(std::uint8_t sub, std::uint32_t word) {
    return {0x00,
            FRAME_LINK,
            0x07,
            0x00,
            sub,
            0x04,
            0x00,
            static_cast<std::uint8_t>(word),
            static_cast<std::uint8_t>(word >> 8),
            static_cast<std::uint8_t>(word >> 16),
            static_cast<std::uint8_t>(word >> 24)};
}

// A data request; the simulated receiver names the data offset it wants.
inline Frame DataRequestFrame(std::uint32_t offset = 0) {
    return LinkFrameWithWord(SUB_DATA_REQUEST, offset);
}

inline Frame VersionFrame(std::uint32_t version) {
    return LinkFrameWithWord(SUB_VERSION, version);
}

// The frames carried by output reports (report number, count byte, frame), in order.
inline std::vector<Frame> FramesInReports(const std::vector<std::vector<std::uint8_t>>& reports) {
    std::vector<Frame> frames;
    for (const auto& report : reports) {
        if (report.size() < 2)
            continue;
        const std::size_t count = std::min<std::size_t>(report[1], report.size() - 2);
        frames.emplace_back(report.begin() + 2, report.begin() + 2 + count);
    }
    return frames;
}

// The payload of a SUB_DATA frame (the bytes after its 7-byte head).
inline Frame DataPayload(const Frame& dataFrame) {
    return dataFrame.size() > 7 ? Frame(dataFrame.begin() + 7, dataFrame.end()) : Frame{};
}

} // namespace kxtest
