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
    Count
};
const char* FaultName(FaultKind kind);

// How the user closes the window.
enum class CloseWay { Button, AltF4, SystemMenu };

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
