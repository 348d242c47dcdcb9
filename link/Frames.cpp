#include "link/Frames.h"

#include "link/Hid.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

std::uint8_t g_TxReport[64];

namespace {

std::atomic<CHid*> g_pLinkHid{nullptr};
// Held from staging to the last piece written, so concurrent senders take turns.
std::mutex g_TxReportLock;

// Stages one count byte and the bytes behind it, and writes them.
int WriteStaged(CHid& hid, const std::uint8_t* bytes, int n) {
    g_TxReport[0] = static_cast<std::uint8_t>(n);
    std::memcpy(g_TxReport + 1, bytes, static_cast<size_t>(n));
    return hid.WriteHid(g_TxReport, static_cast<std::uint8_t>(n + 1));
}

} // namespace

void SetLinkHid(CHid* hid) {
    g_pLinkHid = hid;
}

CHid* LinkHid() {
    return g_pLinkHid.load();
}

int SendShortCommand(std::uint8_t code, std::uint8_t value) {
    CHid* hid = LinkHid();
    if (!hid) {
        return 0;
    }
    const std::uint8_t frame[5] = {0x00, code, 0x01, 0x00, value};
    std::lock_guard<std::mutex> lock(g_TxReportLock);
    return WriteStaged(*hid, frame, sizeof(frame));
}

int SendLinkFrame(std::uint8_t sub, const std::uint8_t* payload, std::int32_t p) {
    CHid* hid = LinkHid();
    if (!hid) {
        return 0;
    }
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

    std::lock_guard<std::mutex> lock(g_TxReportLock);
    if (sub != SUB_DATA) {
        // Whole, behind its count byte, in one report.
        if (total > static_cast<int>(sizeof(g_TxReport)) - 1) {
            return 0;
        }
        return WriteStaged(*hid, frame, total) ? 1 : 0;
    }
    for (int offset = 0; offset < total; offset += DATA_PIECE_MAX) {
        const int piece = std::min(DATA_PIECE_MAX, total - offset);
        if (!WriteStaged(*hid, frame + offset, piece)) {
            return 0;
        }
    }
    return 1;
}

int SendHeaderFrame(FirmwareHeader header) {
    std::uint8_t copy[IMAGE_HEADER_SIZE];
    std::memcpy(copy, &header, sizeof(copy));
    for (int word = 0; word < 4; ++word) {
        StoreBigEndian32(copy + 4 * word);
    }
    return SendLinkFrame(SUB_HEADER, copy, IMAGE_HEADER_SIZE);
}

int SendDataFrame(const std::uint8_t* payload, std::uint32_t p) {
    if (p > static_cast<std::uint32_t>(LINK_FRAME_MAX - LINK_FRAME_OVERHEAD)) {
        return 0;
    }
    return SendLinkFrame(SUB_DATA, payload, static_cast<std::int32_t>(p));
}

int RequestModeSwitch() {
    CHid* hid = LinkHid();
    if (!hid || g_nLastDeviceMode.load() != 2 || !hid->OpenDevice()) {
        return 0;
    }
    // Count 5 and the start of the short command; the zeros behind complete it
    // (length 1, value 0).
    std::uint8_t request[64] = {0x05, 0x00, CMD_SWITCH_MODE, 0x01};
    return hid->WriteHid(request, 4) ? 1 : 0;
}

void StoreBigEndian32(std::uint8_t* p) {
    std::uint32_t value;
    std::memcpy(&value, p, sizeof(value));
    p[0] = static_cast<std::uint8_t>(value >> 24);
    p[1] = static_cast<std::uint8_t>(value >> 16);
    p[2] = static_cast<std::uint8_t>(value >> 8);
    p[3] = static_cast<std::uint8_t>(value);
}
