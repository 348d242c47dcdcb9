// One run of the fault campaign as drawn from its seed: the image, the faults the
// simulated receiver and its surroundings inject, and what the user does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/LinkProtocol.h"

class SimReceiver;

// The kinds of fault a run may carry; each run draws one or more (or none).
enum class FaultKind {
    FailureCode,    // failure sub-code 0x15 or 0x18 instead of a data request
    UnplugBefore,   // the receiver leaves on the start command, before its ready reply
    UnplugOnHeader, // the receiver leaves when the header arrives
    UnplugAtBlock,  // the receiver leaves after a random block
    Silence,        // the receiver stops answering from a random point
    WriteFailsOnce, // one write fails
    WriteFailsForGood,
    WriteHangs, // one write never completes until cancelled
    ReadsFail,  // reads fail at once, for a while or for good
    MalformedFrames,
    ReadyTwice,
    EarlyAck,      // an acknowledgement 0x32 after a random block
    LatencySpikes, // reports held back by up to 2 s now and then
    OtherDevices,  // other HID devices arrive and leave during the update
    UserCloses,    // the user closes the window, in one of three ways, either answer
    FileChanges,   // the image file is changed or deleted after confirmation
    // The window's life around an update. The closes below come in one of the three
    // ways too, answering either way should the abort question come.
    CloseInChooser,       // closed while the platform's file chooser is open
    CloseInConfirmation,  // closed while the confirmation is open, answering nothing
    CloseAfterEnd,        // closed right after the success (or failure) message is answered
    CloseWhileRebooting,  // closed while the receiver reboots after a success
    ReceiverComesAndGoes, // the receiver leaves and (mostly) comes back at a random moment
    LogOffQuery,          // the system asks whether it may log off, at random moments
    Minimised,            // the window is minimised at a random moment and restored later
    SecondReceiver, // another receiver (the same numbers and reports, silent) comes and goes
    Count
};
const char* FaultName(FaultKind kind);
// The kinds that close the window: a run has at most one of them.
bool IsClose(FaultKind kind);

// How the user closes the window.
enum class CloseWay { Button, AltF4, SystemMenu };

// When the receiver leaves (ReceiverComesAndGoes): some time after the Update button,
// while the file chooser or the confirmation is open, or right after the window is
// closed (in a run with no close: some time after the Update button).
enum class LeaveMoment { AtTime, InChooser, InConfirmation, AfterClose };

// The random stream of a run: SplitMix64, so every run can be replayed from its seed.
class CampaignRandom {
public:
    explicit CampaignRandom(std::uint64_t seed) : m_nState(seed) {}
    std::uint64_t Next();
    // A number in [low, high].
    std::uint64_t Between(std::uint64_t low, std::uint64_t high);
    bool Chance(int percent) { return Between(1, 100) <= static_cast<std::uint64_t>(percent); }

private:
    std::uint64_t m_nState;
};

struct FaultPlan {
    std::uint64_t Seed = 0;
    std::vector<FaultKind> Faults;

    // The image: DataLength, and the data bytes the file holds (DataLength or more).
    std::uint32_t DataLength = 0;
    std::uint32_t FileData = 0;
    std::uint32_t Blocks() const { return static_cast<std::uint32_t>(ImageBlocks(DataLength)); }

    // The faults' parameters, drawn whether or not their kind is in the run.
    std::uint8_t FailureSubCode = 0x15;
    int AtBlock = 1;       // the block a fault is tied to (1 = the first)
    int AtWrite = 1;       // the write a fault is tied to (1 = the start command)
    int ReadFailures = 10; // -1: for good
    int GarbageEvery = 3;  // 0: garbage before every reply instead
    std::uint32_t SpikePerMillion = 0;
    int OtherDeviceEvents = 2;
    CloseWay Close = CloseWay::Button;
    bool CloseAnswerOk = false;
    std::uint32_t CloseAfterMs = 0; // after the Update button
    bool FileDeleted = false;       // FileChanges: deleted rather than rewritten
    // The lifecycle kinds' parameters.
    std::uint32_t MomentDelayMs = 0;  // a close or a departure: how long after its moment came
    std::uint32_t RebootMs = 100;     // how long the receiver is away to reboot
    LeaveMoment Leave = LeaveMoment::AtTime;
    std::uint32_t LeaveAfterMs = 0;   // AtTime: after the Update button; AfterClose: the close
    int BackAfterMs = -1;             // after leaving, the receiver comes back; -1: never
    bool DevicesAfterClose = false;   // OtherDevices: right after the close, in a run with one
    std::uint32_t TwinArriveMs = 0;   // SecondReceiver: after the Update button
    std::uint32_t TwinStaysMs = 0;    //   and how long it stays
    std::uint32_t LogOffAfterMs = 0;  // after the Update button
    std::uint32_t MinimiseAfterMs = 0;
    std::uint32_t MinimisedForMs = 0;
    bool MinimiseByButton = false;    // the skin's minimise button, else the system command

    std::uint32_t TeardownMs = 0;     // AfterClose, DevicesAfterClose: how long after the close
    // The platform's real file chooser opens, and the user chooses in it, rather than the
    // image being chosen at once (in every run that closes or unplugs in it, and a few more).
    bool RealChooser = false;

    // The run closes the window in one of the ways drawn.
    bool Closes() const;
    // How long after its moment came the window is closed.
    std::uint32_t CloseDelayMs() const;

    bool Has(FaultKind kind) const;
    std::string Describe() const;
    // Sets the receiver up for the run, before the Update button is pressed.
    void Apply(SimReceiver& receiver) const;
};

// Draws run `run` of the campaign with this seed.
FaultPlan DrawFaultPlan(std::uint64_t campaignSeed, std::uint64_t run);

// Runs that take every path of the user interface once (a success, a failure, each way
// of closing with each answer), so the platform's one-time caches are filled before the
// campaign counts what the process holds.
std::vector<FaultPlan> WarmUpPlans();
