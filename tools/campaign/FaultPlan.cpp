#include "FaultPlan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "sim/SimReceiver.h"

namespace {
constexpr std::uint32_t kMaxImage = 1024 * 1024;
constexpr DWORD kSpikeMaxMs = 2000;

const char* CloseWayName(CloseWay way) {
    return way == CloseWay::Button ? "the button" : way == CloseWay::AltF4 ? "Alt+F4" : "the system menu";
}
} // namespace

const char* FaultName(FaultKind kind) {
    switch (kind) {
    case FaultKind::FailureCode:
        return "failure code";
    case FaultKind::UnplugBefore:
        return "unplug before ready";
    case FaultKind::UnplugOnHeader:
        return "unplug at header";
    case FaultKind::UnplugAtBlock:
        return "unplug at block";
    case FaultKind::Silence:
        return "silence";
    case FaultKind::WriteFailsOnce:
        return "write fails once";
    case FaultKind::WriteFailsForGood:
        return "write fails for good";
    case FaultKind::WriteHangs:
        return "write hangs";
    case FaultKind::ReadsFail:
        return "reads fail at once";
    case FaultKind::MalformedFrames:
        return "malformed frames";
    case FaultKind::ReadyTwice:
        return "ready twice";
    case FaultKind::EarlyAck:
        return "early acknowledgement";
    case FaultKind::LatencySpikes:
        return "latency spikes";
    case FaultKind::OtherDevices:
        return "other devices come and go";
    case FaultKind::SecondReceiver:
        return "a second receiver";
    case FaultKind::UserCloses:
        return "user closes";
    case FaultKind::FileChanges:
        return "file changed or deleted";
    case FaultKind::CloseInChooser:
        return "close in the chooser";
    case FaultKind::CloseInConfirmation:
        return "close in the confirmation";
    case FaultKind::CloseAfterEnd:
        return "close after the end message";
    case FaultKind::CloseWhileRebooting:
        return "close while rebooting";
    case FaultKind::ReceiverComesAndGoes:
        return "receiver leaves and returns";
    case FaultKind::LogOffQuery:
        return "log-off query";
    case FaultKind::Minimised:
        return "minimised and restored";
    case FaultKind::Count:
        break;
    }
    return "?";
}

bool IsClose(FaultKind kind) {
    switch (kind) {
    case FaultKind::UserCloses:
    case FaultKind::CloseInChooser:
    case FaultKind::CloseInConfirmation:
    case FaultKind::CloseAfterEnd:
    case FaultKind::CloseWhileRebooting:
        return true;
    default:
        return false;
    }
}

std::uint64_t CampaignRandom::Next() {
    std::uint64_t z = (m_nState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::uint64_t CampaignRandom::Between(std::uint64_t low, std::uint64_t high) {
    return low + Next() % (high - low + 1);
}

bool FaultPlan::Has(FaultKind kind) const {
    return std::find(Faults.begin(), Faults.end(), kind) != Faults.end();
}

bool FaultPlan::Closes() const {
    return std::any_of(Faults.begin(), Faults.end(), IsClose);
}

std::uint32_t FaultPlan::CloseDelayMs() const {
    if (Has(FaultKind::CloseAfterEnd)) // at once in a fifth of runs, else within 20 ms
        return MomentDelayMs < 60 ? 0 : (MomentDelayMs - 60) / 12;
    if (Has(FaultKind::CloseWhileRebooting))
        return static_cast<std::uint32_t>(std::uint64_t{MomentDelayMs} * RebootMs / 600);
    return MomentDelayMs;
}

FaultPlan DrawFaultPlan(std::uint64_t campaignSeed, std::uint64_t run) {
    FaultPlan plan;
    plan.Seed = campaignSeed * 0x100000001B3ull ^ (run + 1) * 0x9E3779B97F4A7C15ull;
    CampaignRandom random(plan.Seed);

    // Image lengths spread evenly over their orders of magnitude, 1 byte to 1 MiB; a
    // third of the files hold bytes after DataLength.
    const double exponent = static_cast<double>(random.Between(0, 20000)) / 1000.0;
    plan.DataLength = std::clamp<std::uint32_t>(static_cast<std::uint32_t>(std::pow(2.0, exponent)),
                                                1, kMaxImage);
    if (random.Chance(20))
        plan.DataLength = static_cast<std::uint32_t>(random.Between(1, 4)) * 32; // whole blocks
    plan.FileData = plan.DataLength;
    if (random.Chance(33))
        plan.FileData += static_cast<std::uint32_t>(random.Between(1, 100));

    // One fault in most runs, two in some, none in a few.
    const int faults = random.Chance(10) ? 0 : random.Chance(25) ? 2 : 1;
    while (static_cast<int>(plan.Faults.size()) < faults) {
        const auto kind = static_cast<FaultKind>(
            random.Between(0, static_cast<std::uint64_t>(FaultKind::Count) - 1));
        // Devices other than the receiver come in one kind at a time: the simulated
        // receiver takes the last one added away first.
        const bool devices = kind == FaultKind::OtherDevices || kind == FaultKind::SecondReceiver;
        if (!plan.Has(kind) && !(IsClose(kind) && plan.Closes()) &&
            !(devices && (plan.Has(FaultKind::OtherDevices) || plan.Has(FaultKind::SecondReceiver))))
            plan.Faults.push_back(kind);
    }

    const int blocks = static_cast<int>(plan.Blocks());
    plan.FailureSubCode = random.Chance(50) ? 0x15 : 0x18;
    plan.AtBlock = static_cast<int>(random.Between(1, static_cast<std::uint64_t>(blocks) + 1));
    // The start command, the header, the blocks and the finish: blocks + 3 writes.
    plan.AtWrite = static_cast<int>(random.Between(1, static_cast<std::uint64_t>(blocks) + 3));
    plan.ReadFailures = random.Chance(25) ? -1 : static_cast<int>(random.Between(1, 40));
    plan.GarbageEvery = static_cast<int>(random.Between(0, 5));
    // About three spikes in a run, whatever its length.
    plan.SpikePerMillion = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(1000000, 3000000ull / (static_cast<std::uint64_t>(blocks) + 2)));
    plan.OtherDeviceEvents = static_cast<int>(random.Between(1, 4));
    plan.TwinArriveMs = static_cast<std::uint32_t>(random.Between(0, 200 + static_cast<std::uint64_t>(blocks)));
    plan.TwinStaysMs = static_cast<std::uint32_t>(random.Between(50, 200 + static_cast<std::uint64_t>(blocks)));
    plan.Close = static_cast<CloseWay>(random.Between(0, 2));
    plan.CloseAnswerOk = random.Chance(50);
    // Somewhere in the run: a transfer takes about a millisecond a block here.
    plan.CloseAfterMs = static_cast<std::uint32_t>(random.Between(0, 200 + blocks));
    plan.FileDeleted = random.Chance(50);

    plan.MomentDelayMs = static_cast<std::uint32_t>(random.Between(0, 300));
    plan.RebootMs = static_cast<std::uint32_t>(random.Between(300, 1500));
    plan.Leave = static_cast<LeaveMoment>(random.Between(0, 3));
    plan.LeaveAfterMs = static_cast<std::uint32_t>(random.Between(0, 200 + blocks));
    plan.BackAfterMs = random.Chance(20) ? -1 : static_cast<int>(random.Between(50, 1500));
    plan.DevicesAfterClose = random.Chance(50);
    plan.TeardownMs = static_cast<std::uint32_t>(random.Between(0, 100));
    plan.LogOffAfterMs = static_cast<std::uint32_t>(random.Between(0, 200 + blocks));
    plan.MinimiseAfterMs = static_cast<std::uint32_t>(random.Between(0, 200 + blocks));
    plan.MinimisedForMs = static_cast<std::uint32_t>(random.Between(50, 1500));
    plan.MinimiseByButton = random.Chance(50);
    plan.RealChooser = random.Chance(10) || plan.Has(FaultKind::CloseInChooser) ||
                       (plan.Has(FaultKind::ReceiverComesAndGoes) &&
                        plan.Leave == LeaveMoment::InChooser);
    return plan;
}

std::vector<FaultPlan> WarmUpPlans() {
    std::vector<FaultPlan> plans;
    FaultPlan plain;
    plain.Seed = 1;
    plain.DataLength = plain.FileData = 8192;
    plans.push_back(plain);
    FaultPlan failing = plain;
    failing.Faults = {FaultKind::FailureCode};
    failing.AtBlock = 3;
    plans.push_back(failing);
    FaultPlan chooser = plain; // the platform's chooser, used as a user would
    chooser.RealChooser = true;
    plans.push_back(chooser);
    for (CloseWay way : {CloseWay::Button, CloseWay::AltF4, CloseWay::SystemMenu}) {
        for (bool ok : {false, true}) {
            FaultPlan closing = plain;
            closing.Faults = {FaultKind::UserCloses};
            // Long enough to close in the middle of the transfer, when the question comes.
            closing.DataLength = closing.FileData = 256 * 1024;
            closing.Close = way;
            closing.CloseAnswerOk = ok;
            closing.CloseAfterMs = 400;
            plans.push_back(closing);
        }
    }
    return plans;
}

std::string FaultPlan::Describe() const {
    char text[200];
    snprintf(text, sizeof(text), "image %u bytes (file %u), %u blocks;", DataLength, FileData,
             Blocks());
    std::string line = text;
    if (RealChooser)
        line += " chosen in the platform's chooser;";
    if (Faults.empty())
        line += " no fault";
    for (FaultKind kind : Faults) {
        line += std::string(" ") + FaultName(kind);
        switch (kind) {
        case FaultKind::FailureCode:
            snprintf(text, sizeof(text), " 0x%02X at request %d", FailureSubCode, AtBlock);
            break;
        case FaultKind::UnplugAtBlock:
        case FaultKind::Silence:
        case FaultKind::EarlyAck:
            snprintf(text, sizeof(text), " at block %d", AtBlock);
            break;
        case FaultKind::WriteFailsOnce:
        case FaultKind::WriteFailsForGood:
        case FaultKind::WriteHangs:
            snprintf(text, sizeof(text), " at write %d", AtWrite);
            break;
        case FaultKind::ReadsFail:
            snprintf(text, sizeof(text), " %d", ReadFailures);
            break;
        case FaultKind::MalformedFrames:
            snprintf(text, sizeof(text), " every %d", GarbageEvery);
            break;
        case FaultKind::UserCloses:
            snprintf(text, sizeof(text), " by %s after %u ms, answering %s", CloseWayName(Close),
                     CloseAfterMs, CloseAnswerOk ? "OK" : "Cancel");
            break;
        case FaultKind::FileChanges:
            snprintf(text, sizeof(text), " (%s)", FileDeleted ? "deleted" : "changed");
            break;
        case FaultKind::CloseInChooser:
        case FaultKind::CloseInConfirmation:
        case FaultKind::CloseAfterEnd:
        case FaultKind::CloseWhileRebooting: {
            std::string when = std::to_string(CloseDelayMs()) + " ms after " +
                               (kind == FaultKind::CloseInChooser ||
                                        kind == FaultKind::CloseInConfirmation
                                    ? "it opened"
                                    : "the answer");
            if (kind == FaultKind::CloseAfterEnd && CloseDelayMs() == 0)
                when = "as the answer is taken";
            if (kind == FaultKind::CloseWhileRebooting)
                when += ", reboot " + std::to_string(RebootMs) + " ms";
            snprintf(text, sizeof(text), " by %s %s, answering %s", CloseWayName(Close),
                     when.c_str(), CloseAnswerOk ? "OK" : "Cancel");
            break;
        }
        case FaultKind::ReceiverComesAndGoes: {
            const char* moment = Leave == LeaveMoment::InChooser        ? "in the chooser"
                                 : Leave == LeaveMoment::InConfirmation ? "in the confirmation"
                                 : Leave == LeaveMoment::AfterClose     ? "after the close"
                                                                        : "after Update";
            const std::uint32_t after = Leave == LeaveMoment::AtTime       ? LeaveAfterMs
                                        : Leave == LeaveMoment::AfterClose ? TeardownMs
                                                                           : MomentDelayMs;
            snprintf(text, sizeof(text), " %u ms %s, back %s", after, moment,
                     BackAfterMs < 0 ? "never" : (std::to_string(BackAfterMs) + " ms later").c_str());
            break;
        }
        case FaultKind::OtherDevices:
            snprintf(text, sizeof(text), " (%d events%s)", OtherDeviceEvents,
                     DevicesAfterClose && Closes() ? " after the close" : "");
            break;
        case FaultKind::SecondReceiver:
            snprintf(text, sizeof(text), " arriving %u ms after Update for %u ms", TwinArriveMs,
                     TwinStaysMs);
            break;
        case FaultKind::LogOffQuery:
            snprintf(text, sizeof(text), " %u ms after Update, at the end message and after", LogOffAfterMs);
            break;
        case FaultKind::Minimised:
            snprintf(text, sizeof(text), " by %s %u ms after Update, for %u ms",
                     MinimiseByButton ? "its button" : "the system command", MinimiseAfterMs,
                     MinimisedForMs);
            break;
        default:
            text[0] = '\0';
            break;
        }
        line += text;
        line += ";";
    }
    return line;
}

void FaultPlan::Apply(SimReceiver& receiver) const {
    SimFirmwareOptions options = receiver.FirmwareOptions();
    for (FaultKind kind : Faults) {
        switch (kind) {
        case FaultKind::FailureCode:
            options.FailAtRequest = AtBlock;
            options.FailureSubCode = FailureSubCode;
            break;
        case FaultKind::UnplugBefore:
            options.UnplugBeforeReady = true;
            break;
        case FaultKind::UnplugOnHeader:
            options.UnplugOnHeader = true;
            break;
        case FaultKind::UnplugAtBlock:
            options.UnplugAfterBlocks = AtBlock;
            break;
        case FaultKind::Silence:
            options.SilentFromBlock = AtBlock;
            break;
        case FaultKind::WriteFailsOnce:
            receiver.FailWriteAt(AtWrite, 1);
            break;
        case FaultKind::WriteFailsForGood:
            receiver.FailWriteAt(AtWrite, -1);
            break;
        case FaultKind::WriteHangs:
            receiver.HangWriteAt(AtWrite);
            break;
        case FaultKind::ReadsFail:
            receiver.FailReads(ReadFailures);
            break;
        case FaultKind::MalformedFrames:
            if (GarbageEvery == 0)
                options.GarbageFrames = true;
            else
                options.GarbageEvery = GarbageEvery;
            break;
        case FaultKind::ReadyTwice:
            options.ReadyTwice = true;
            break;
        case FaultKind::EarlyAck:
            options.EarlyAckAfter = AtBlock;
            break;
        case FaultKind::LatencySpikes:
            receiver.SetLatencySpikes(SpikePerMillion, kSpikeMaxMs,
                                      static_cast<std::uint32_t>(Seed));
            break;
        case FaultKind::CloseWhileRebooting:
            receiver.SetRebootTime(RebootMs);
            break;
        default:
            break; // carried out by the run itself
        }
    }
    receiver.SetFirmwareOptions(options);
}
