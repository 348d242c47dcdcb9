// The simulated receiver's firmware: its side of the link protocol.
#pragma once

#include <cstdint>
#include <vector>

// What became of one update, as the receiver saw it.
struct SimUpdateResult {
    bool Started = false;        // CMD_START_UPDATE arrived
    bool HeaderReceived = false; // SUB_HEADER arrived
    std::uint32_t VersionWord = 0;
    std::uint32_t DataLength = 0;
    std::uint32_t DataBytes = 0;     // image data bytes received
    std::uint32_t Blocks = 0;        // SUB_DATA frames received
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
};

// SimFirmware is the receiver's protocol engine, free of any device plumbing: it takes
// the payload of each output report written to it (count byte and frame bytes),
// reassembles frames that arrive in pieces, and answers with actions for the device to
// carry out: frames to send back, a reboot into mode 1 after the image has been
// received or a mode switch requested, leaving the bus, and the end of an update. A
// mode-2 receiver only understands CMD_SWITCH_MODE. Not thread-safe; its owner locks.
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
    std::vector<Action> OnOutputPayload(const std::uint8_t* payload, std::size_t size);
    // The receiver is leaving; true when that ends an update in progress.
    bool OnUnplugged();

    const SimUpdateResult& Update() const { return m_Update; }
    // The image as received: the header in file byte order, then the data.
    std::vector<std::uint8_t> ReceivedImage() const;
    int Polls() const { return m_nPolls; }

    static std::vector<std::uint8_t> VersionFrame(std::uint32_t version);
    static std::vector<std::uint8_t> DataRequestFrame(std::uint32_t offset);

private:
    enum class Phase { Idle, Ready, Receiving, AllReceived };

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
