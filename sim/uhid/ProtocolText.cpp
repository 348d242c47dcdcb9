#include "sim/uhid/ProtocolText.h"

#include "link/LinkProtocol.h"

#include <cstdio>

std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%0*X", digits, value);
    return text;
}

std::string FrameName(const std::uint8_t* frame, std::size_t size) {
    if (size < 5 || frame[0] != 0x00) {
        return size ? "a frame not starting 0x00" : "";
    }
    const std::uint8_t type = frame[FRAME_TYPE_OFFSET];
    const std::uint8_t sub = frame[FRAME_SUBCODE_OFFSET];
    switch (type) {
    case CMD_START_UPDATE:
        return "start update";
    case CMD_SWITCH_MODE:
        return "switch mode";
    case REPLY_READY:
        return "ready";
    case REPLY_ACK:
        return "acknowledgement " + Hex(sub, 2);
    case FRAME_LINK:
        switch (sub) {
        case SUB_QUERY_VERSION: // SUB_VERSION in a reply
            return size >= 11 ? "version " + Hex(frame[7] | frame[8] << 8 | frame[9] << 16 |
                                                     static_cast<unsigned>(frame[10]) << 24,
                                                 8)
                              : "version query";
        case SUB_HEADER:
            return "image header";
        case SUB_FINISH:
            return "finish";
        case SUB_FAILURE_1:
        case SUB_FAILURE_2:
            return "failure " + Hex(sub, 2);
        default:
            return "";
        }
    default:
        return "";
    }
}
