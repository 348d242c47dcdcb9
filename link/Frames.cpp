#include "link/Frames.h"

#include "link/ByteOrder.h"
#include "link/Hid.h"

#include <cstring>

namespace {
// A frame that is not SUB_DATA goes whole in one report, behind its count byte: at most
// the frame bytes a report of the smallest layout carries.
constexpr int kWholeFrameMax = REPORT_LENGTH_MODE1 - 2;
} // namespace

int SendShortCommand(CHid& hid, std::uint8_t code, std::uint8_t value) {
    const std::uint8_t frame[5] = {0x00, code, 0x01, 0x00, value};
    return hid.WriteFrame(frame, sizeof(frame), sizeof(frame));
}

int SendLinkFrame(CHid& hid, std::uint8_t sub, const std::uint8_t* payload, std::int32_t p) {
    if (p > LINK_FRAME_MAX - LINK_FRAME_OVERHEAD || (p > 0 && !payload)) {
        return 0;
    }
    std::uint8_t frame[LINK_FRAME_MAX];
    int total;
    if (p <= 0) {
        const std::uint8_t bare[5] = {0x00, FRAME_LINK, 0x01, 0x00, sub};
        std::memcpy(frame, bare, sizeof(bare));
        total = 5;
    } else {
        const int length = p + 3;
        frame[0] = 0x00;
        frame[1] = FRAME_LINK;
        frame[2] = static_cast<std::uint8_t>(length & 0xFF);
        frame[3] = static_cast<std::uint8_t>((length >> 8) & 0xFF);
        frame[4] = sub;
        frame[5] = static_cast<std::uint8_t>(p & 0xFF);
        frame[6] = static_cast<std::uint8_t>((p >> 8) & 0xFF);
        std::memcpy(frame + LINK_FRAME_OVERHEAD, payload, static_cast<size_t>(p));
        total = p + LINK_FRAME_OVERHEAD;
    }
    if (sub == SUB_DATA) {
        return hid.WriteFrame(frame, total, DATA_PIECE_MAX);
    }
    return total <= kWholeFrameMax && hid.WriteFrame(frame, total, total) ? 1 : 0;
}

int SendHeaderFrame(CHid& hid, FirmwareHeader header) {
    std::uint8_t copy[IMAGE_HEADER_SIZE];
    std::memcpy(copy, &header, sizeof(copy));
    for (std::size_t word = 0; word < 4; ++word) {
        StoreBigEndian32(copy + 4 * word);
    }
    return SendLinkFrame(hid, SUB_HEADER, copy, IMAGE_HEADER_SIZE);
}

int SendDataFrame(CHid& hid, const std::uint8_t* payload, std::uint32_t p) {
    if (p > static_cast<std::uint32_t>(LINK_FRAME_MAX - LINK_FRAME_OVERHEAD)) {
        return 0;
    }
    return SendLinkFrame(hid, SUB_DATA, payload, static_cast<std::int32_t>(p));
}

int RequestModeSwitch(CHid& hid) {
    if (hid.LastMode() != 2 || !hid.OpenDevice()) {
        return 0;
    }
    // Count 5 and the start of the short command; the zeros behind complete it
    // (length 1, value 0).
    std::uint8_t request[64] = {0x05, 0x00, CMD_SWITCH_MODE, 0x01};
    return hid.WriteHid(request, 4) ? 1 : 0;
}
