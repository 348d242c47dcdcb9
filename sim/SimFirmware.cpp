#include "sim/SimFirmware.h"

#include "link/LinkProtocol.h"

#include <algorithm>
#include <cstring>

namespace {

std::uint32_t ReadLE32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::vector<std::uint8_t> LinkFrame(std::uint8_t sub, const std::vector<std::uint8_t>& payload) {
    if (payload.empty()) {
        return {0x00, FRAME_LINK, 0x01, 0x00, sub};
    }
    const std::size_t p = payload.size();
    std::vector<std::uint8_t> frame = {0x00,
                                       FRAME_LINK,
                                       static_cast<std::uint8_t>((p + 3) & 0xFF),
                                       static_cast<std::uint8_t>((p + 3) >> 8),
                                       sub,
                                       static_cast<std::uint8_t>(p & 0xFF),
                                       static_cast<std::uint8_t>(p >> 8)};
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

std::vector<std::uint8_t> LE32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

} // namespace

std::uint64_t SimDigest(const std::uint8_t* bytes, std::size_t size, std::uint64_t digest) {
    for (std::size_t i = 0; i < size; ++i)
        digest = (digest ^ bytes[i]) * 0x100000001B3ull;
    return digest;
}

namespace {
// A report whose one frame is a link frame with this sub-code: number, count, then the
// frame (start byte, type, two length bytes, sub-code).
bool IsLinkReport(const std::uint8_t* report, std::size_t size, std::uint8_t sub) {
    return report && size >= 7 && report[1] >= 5 && report[2] == 0x00 && report[3] == FRAME_LINK &&
           report[6] == sub;
}
} // namespace

bool SimFirmware::IsDataRequestReport(const std::uint8_t* report, std::size_t size) {
    return IsLinkReport(report, size, SUB_DATA_REQUEST);
}

bool SimFirmware::IsDataBlockReport(const std::uint8_t* report, std::size_t size) {
    return IsLinkReport(report, size, SUB_DATA);
}

std::vector<std::uint8_t> SimFirmware::VersionFrame(std::uint32_t version) {
    return LinkFrame(SUB_VERSION, LE32(version));
}

// A data request carries the offset of the image data it asks for.
std::vector<std::uint8_t> SimFirmware::DataRequestFrame(std::uint32_t offset) {
    return LinkFrame(SUB_DATA_REQUEST, LE32(offset));
}

void SimFirmware::Boot(int mode) {
    m_nMode = mode;
    m_Phase = Phase::Idle;
    m_Pending.clear();
    m_nRequests = 0;
}

int SimFirmware::ReportLength() const {
    return m_nMode == 2 ? REPORT_LENGTH_MODE2 : REPORT_LENGTH_MODE1;
}

std::uint8_t SimFirmware::ReportNumber() const {
    return m_nMode == 2 ? REPORT_ID_MODE2 : REPORT_ID_MODE1;
}

std::vector<std::uint8_t> SimFirmware::InputReport(const Action& action) const {
    const std::size_t length = static_cast<std::size_t>(ReportLength());
    std::vector<std::uint8_t> report(length, 0);
    report[0] = ReportNumber();
    if (action.Kind == ActionKind::SendRaw) {
        const std::size_t n = std::min(action.Frame.size(), length - 1);
        std::copy(action.Frame.begin(), action.Frame.begin() + static_cast<std::ptrdiff_t>(n),
                  report.begin() + 1);
        return report;
    }
    const std::size_t n = std::min(action.Frame.size(), length - 2);
    report[1] = static_cast<std::uint8_t>(n);
    std::copy(action.Frame.begin(), action.Frame.begin() + static_cast<std::ptrdiff_t>(n),
              report.begin() + 2);
    return report;
}

bool SimFirmware::TakesReport(const std::uint8_t* report, std::size_t size) const {
    return report && size == static_cast<std::size_t>(ReportLength()) &&
           report[0] == ReportNumber();
}

bool SimFirmware::OnOutputReport(const std::uint8_t* report, std::size_t size,
                                 std::vector<Action>* actions) {
    if (!TakesReport(report, size)) {
        return false;
    }
    *actions = OnOutputPayload(report + 1, size - 1);
    return true;
}

std::vector<SimFirmware::Action> SimFirmware::OnOutputPayload(const std::uint8_t* payload,
                                                              std::size_t size) {
    std::vector<Action> actions;
    if (size == 0) {
        return actions;
    }
    const std::size_t count = payload[0];
    if (count > size - 1) {
        m_Pending.clear();
        return actions;
    }
    m_Pending.insert(m_Pending.end(), payload + 1, payload + 1 + count);
    while (!m_Pending.empty()) {
        if (m_Pending[0] != 0x00) {
            m_Pending.clear(); // out of step: wait for the next frame to start
            break;
        }
        if (m_Pending.size() < 4) {
            break;
        }
        const std::size_t length = 4 + (m_Pending[2] | (m_Pending[3] << 8));
        if (m_Pending.size() < length) {
            break;
        }
        const std::vector<std::uint8_t> frame(m_Pending.begin(), m_Pending.begin() + length);
        m_Pending.erase(m_Pending.begin(), m_Pending.begin() + length);
        OnFrame(frame, actions);
    }
    return actions;
}

void SimFirmware::OnFrame(const std::vector<std::uint8_t>& frame, std::vector<Action>& actions) {
    const std::uint8_t type = frame[1];
    if (m_nMode == 2) {
        if (type == CMD_SWITCH_MODE) {
            actions.push_back({ActionKind::SwitchMode, {}});
        }
        return;
    }
    switch (type) {
    case CMD_POLL:
        ++m_nPolls;
        break;
    case CMD_START_UPDATE:
        m_Update = SimUpdateResult{};
        m_Update.Started = true;
        m_Data.clear();
        m_nRequests = 0;
        m_Phase = Phase::Ready;
        if (m_Options.UnplugBeforeReady) {
            actions.push_back({ActionKind::Unplug, {}});
            break;
        }
        Reply({0x00, REPLY_READY, 0x01, 0x00, 0x00}, actions);
        if (m_Options.ReadyTwice) {
            Reply({0x00, REPLY_READY, 0x01, 0x00, 0x00}, actions);
        }
        break;
    case FRAME_LINK:
        if (frame.size() >= 5) {
            OnLinkFrame(frame, actions);
        }
        break;
    default:
        break;
    }
}

void SimFirmware::OnLinkFrame(const std::vector<std::uint8_t>& frame,
                              std::vector<Action>& actions) {
    const std::uint8_t sub = frame[FRAME_SUBCODE_OFFSET];
    const std::size_t p = frame.size() >= 7 ? (frame[5] | (frame[6] << 8)) : 0;
    const std::uint8_t* payload = frame.data() + LINK_FRAME_OVERHEAD;
    const bool payloadComplete = frame.size() >= LINK_FRAME_OVERHEAD + p;

    switch (sub) {
    case SUB_QUERY_VERSION:
        Reply(VersionFrame(m_Options.Version), actions);
        break;
    case SUB_HEADER:
        if (p != IMAGE_HEADER_SIZE || !payloadComplete) {
            break;
        }
        // The first four words arrive most significant byte first; keep them as the
        // image file holds them.
        for (int i = 0; i < IMAGE_HEADER_SIZE; ++i) {
            m_Header[i] = i < 16 ? payload[(i & ~3) + 3 - (i & 3)] : payload[i];
        }
        if (!m_Update.Started) {
            m_Update = SimUpdateResult{};
            m_Update.Started = true;
        }
        m_Update.HeaderReceived = true;
        m_Update.VersionWord = ReadLE32(m_Header);
        m_Update.DataLength = ReadLE32(m_Header + 8);
        m_Data.clear();
        m_nRequests = 0;
        m_Phase = Phase::Receiving;
        if (m_Options.UnplugOnHeader) {
            m_Update.Unplugged = true;
            End(actions);
            actions.push_back({ActionKind::Unplug, {}});
            break;
        }
        RequestData(actions);
        break;
    case SUB_DATA:
        if (m_Phase != Phase::Receiving || !payloadComplete) {
            break;
        }
        if (m_Options.KeepImage) {
            m_Data.insert(m_Data.end(), payload, payload + p);
        }
        m_Update.DataDigest = SimDigest(payload, p, m_Update.DataDigest);
        m_Update.DataBytes += static_cast<std::uint32_t>(p);
        ++m_Update.Blocks;
        if (m_Options.UnplugAfterBlocks > 0 &&
            m_Update.Blocks == static_cast<std::uint32_t>(m_Options.UnplugAfterBlocks)) {
            m_Update.Unplugged = true;
            End(actions);
            actions.push_back({ActionKind::Unplug, {}});
            break;
        }
        if (m_Options.EarlyAckAfter > 0 &&
            m_Update.Blocks == static_cast<std::uint32_t>(m_Options.EarlyAckAfter)) {
            Reply({0x00, REPLY_ACK, 0x01, 0x00, ACK_UPDATE_DONE}, actions);
            break;
        }
        if (m_Update.DataBytes >= m_Update.DataLength) {
            m_Phase = Phase::AllReceived;
            if (m_Options.EndWithAck) {
                Reply({0x00, REPLY_ACK, 0x01, 0x00, ACK_UPDATE_DONE}, actions);
                break;
            }
        }
        RequestData(actions);
        break;
    case SUB_FINISH:
        if (!m_Update.HeaderReceived || m_Update.Ended) {
            break;
        }
        m_Update.Finished = true;
        End(actions);
        actions.push_back({ActionKind::Reboot, {}});
        break;
    default:
        break;
    }
}

bool SimFirmware::Silenced() const {
    return m_Options.Silent ||
           (m_Options.SilentFromBlock > 0 &&
            m_Update.Blocks >= static_cast<std::uint32_t>(m_Options.SilentFromBlock));
}

void SimFirmware::Reply(std::vector<std::uint8_t> frame, std::vector<Action>& actions) {
    if (Silenced()) {
        return;
    }
    if (m_Options.GarbageFrames) {
        actions.push_back({ActionKind::Send, {0xA5, FRAME_LINK, 0x01, 0x00, SUB_DATA_REQUEST}});
        actions.push_back({ActionKind::Send, {}});
        actions.push_back({ActionKind::Send, {0x00, 0x04}});
    }
    actions.push_back({ActionKind::Send, std::move(frame)});
    // A malformed report, of one of two kinds in turn: a frame cut short of the sub-code
    // its type needs, or a count byte that claims more than a report holds.
    if (m_Options.GarbageEvery > 0 && ++m_nReportsSent % m_Options.GarbageEvery == 0) {
        if ((m_nReportsSent / m_Options.GarbageEvery) % 2) {
            actions.push_back({ActionKind::Send, {0x00, FRAME_LINK, 0x01}});
        } else {
            actions.push_back(
                {ActionKind::SendRaw, {0xFF, 0x00, FRAME_LINK, 0x01, 0x00, SUB_DATA_REQUEST}});
        }
    }
}

void SimFirmware::RequestData(std::vector<Action>& actions) {
    ++m_nRequests;
    if (m_Options.FailAtRequest > 0 && m_nRequests == m_Options.FailAtRequest) {
        m_Update.FailureSubCode = m_Options.FailureSubCode;
        Reply({0x00, FRAME_LINK, 0x01, 0x00, m_Options.FailureSubCode}, actions);
        End(actions);
        return;
    }
    Reply(DataRequestFrame(m_Update.DataBytes), actions);
}

void SimFirmware::End(std::vector<Action>& actions) {
    m_Update.Ended = true;
    m_Phase = Phase::Idle;
    actions.push_back({ActionKind::UpdateEnded, {}});
}

bool SimFirmware::OnUnplugged() {
    m_Pending.clear();
    if (!m_Update.HeaderReceived || m_Update.Ended) {
        return false;
    }
    m_Update.Unplugged = true;
    m_Update.Ended = true;
    m_Phase = Phase::Idle;
    return true;
}

std::vector<std::uint8_t> SimFirmware::ReceivedImage() const {
    std::vector<std::uint8_t> image;
    if (m_Update.HeaderReceived) {
        image.assign(m_Header, m_Header + IMAGE_HEADER_SIZE);
        image.insert(image.end(), m_Data.begin(), m_Data.end());
    }
    return image;
}
