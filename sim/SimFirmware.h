// The simulated receiver's firmware: its side of the link protocol.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A 64-bit FNV-1a digest, continued from `digest`: what the receiver keeps of the data
// when it is not to keep the data itself.
constexpr std::uint64_t SimDigestStart = 0xCBF29CE484222325ull;
std::uint64_t SimDigest(const std::uint8_t* bytes, std::size_t size,
                        std::uint64_t digest = SimDigestStart);

// What became of one update, as the receiver saw it.
struct SimUpdateResult {
    bool Started = false;        // CMD_START_UPDATE arrived
    bool HeaderReceived = false; // SUB_HEADER arrived
    std::uint32_t VersionWord = 0;
    std::uint32_t DataLength = 0;
    std::uint32_t DataBytes = 0;               // image data bytes received
    std::uint32_t Blocks = 0;                  // SUB_DATA frames received
    std::uint64_t DataDigest = SimDigestStart; // SimDigest of the data bytes received
    bool Finished = false;           // SUB_FINISH arrived: the receiver reboots with the image
    std::uint8_t FailureSubCode = 0; // failure sent instead of a data request, 0 for none
    bool Unplugged = false;          // the receiver left in the middle of the update
    bool Ended = false;              // one of the three above
};

// How the simulated firmware behaves; the fault settings make it misbehave on purpose.
struct SimFirmwareOptions {
    std::uint32_t Version = 0x00000086;
    bool Silent = false;   // never sends a report
    int FailAtRequest = 0; // the Nth data request of an update is replaced by a failure
    std::uint8_t FailureSubCode = 0x15;
    int UnplugAfterBlocks = 0;      // leaves after receiving this many data blocks
    bool UnplugBeforeReady = false; // leaves on CMD_START_UPDATE instead of answering it
    bool UnplugOnHeader = false;    // leaves on SUB_HEADER instead of asking for data
    bool EndWithAck = false;        // once all data is in: REPLY_ACK 0x32 instead of a last request
    bool GarbageFrames = false;     // before each reply: a frame not starting 0x00, an empty
                                    // report and a frame of an unknown type
    int GarbageEvery = 0;           // after every Nth report it sends: a malformed report
    int SilentFromBlock = 0;        // stops answering once it has received this many blocks
    bool ReadyTwice = false;        // answers CMD_START_UPDATE with two ready replies
    int EarlyAckAfter = 0;          // REPLY_ACK 0x32 after this many blocks, image complete or not
    bool KeepImage = true;          // false: only the digest of the data is kept
};

// SimFirmware is the receiver's protocol engine, free of any device plumbing: it takes
// each output report written to it, reassembles frames that arrive in pieces, and
// answers with actions for the device to carry out: frames to send back, a reboot into
// mode 1 after the image has been received or a mode switch requested, leaving the bus,
// and the end of an update. A mode-2 receiver only understands CMD_SWITCH_MODE. It also
// owns the report layout of its mode, so every transport that carries it (the device
// seam's simulated receiver, the virtual receiver on Linux's uhid) frames reports the
// same way. Not thread-safe; its owner locks.
class SimFirmware {
public:
    enum class ActionKind { Send, SendRaw, Reboot, SwitchMode, Unplug, UpdateEnded };
    struct Action {
        ActionKind Kind;
        // Send: a frame, behind a count byte made for it. SendRaw: the report's payload
        // as it is, count byte included, whatever that count claims.
        std::vector<std::uint8_t> Frame;
    };

    SimFirmwareOptions& Options() { return m_Options; }
    const SimFirmwareOptions& Options() const { return m_Options; }

    // Starts afresh in this mode, as after power-up.
    void Boot(int mode);
    int Mode() const { return m_nMode; }

    // Report layout of the mode, as the host's HID software sees it: the report-number
    // byte first, then the payload (count byte and frame bytes), zero-padded.
    int ReportLength() const;
    std::uint8_t ReportNumber() const;
    // The input report a Send or SendRaw action sends (cut to what one report holds).
    std::vector<std::uint8_t> InputReport(const Action& action) const;
    // Whether an output report is of the mode's length and number: the only kind taken.
    bool TakesReport(const std::uint8_t* report, std::size_t size) const;
    // An output report as the host wrote it, report-number byte first. Only a report the
    // receiver takes is acted on: false for any other, which changes nothing.
    bool OnOutputReport(const std::uint8_t* report, std::size_t size, std::vector<Action>* actions);
    // The receiver is leaving; true when that ends an update in progress.
    bool OnUnplugged();

    const SimUpdateResult& Update() const { return m_Update; }
    // The image as received: the header in file byte order, then the data.
    std::vector<std::uint8_t> ReceivedImage() const;
    int Polls() const { return m_nPolls; }

    static std::vector<std::uint8_t> VersionFrame(std::uint32_t version);
    static std::vector<std::uint8_t> DataRequestFrame(std::uint32_t offset);
    // Whether a report (report number first) carries a data request, or a data block.
    static bool IsDataRequestReport(const std::uint8_t* report, std::size_t size);
    static bool IsDataBlockReport(const std::uint8_t* report, std::size_t size);

private:
    enum class Phase { Idle, Ready, Receiving, AllReceived };

    // The payload of an output report: its count byte and frame bytes.
    std::vector<Action> OnOutputPayload(const std::uint8_t* payload, std::size_t size);
    void OnFrame(const std::vector<std::uint8_t>& frame, std::vector<Action>& actions);
    void OnLinkFrame(const std::vector<std::uint8_t>& frame, std::vector<Action>& actions);
    void Reply(std::vector<std::uint8_t> frame, std::vector<Action>& actions);
    bool Silenced() const;
    void RequestData(std::vector<Action>& actions);
    void End(std::vector<Action>& actions);

    SimFirmwareOptions m_Options;
    int m_nMode = 1;
    Phase m_Phase = Phase::Idle;
    std::vector<std::uint8_t> m_Pending; // frame bytes waiting for the rest of their frame
    SimUpdateResult m_Update;
    std::uint8_t m_Header[28] = {};
    std::vector<std::uint8_t> m_Data;
    int m_nRequests = 0;
    int m_nPolls = 0;
    int m_nReportsSent = 0;
};
