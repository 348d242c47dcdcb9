// The scenarios of the real-stack test: the shipped tool against the virtual receiver
// on a real HID stack, used the way a person would. tests/realstack/guest.sh starts the
// receiver (sim/uhid) with a control file, then runs
//
//   KestrixRealStack.exe --tool EXE --control FILE --receiver-log FILE --image DAT
//                        --received FILE [--trace CHANNELS] [LABEL=]SCENARIO...
//
// Each scenario restarts the receiver as it needs it (through the control file, which
// also takes "unplug" and "plug"), starts the tool, and checks what the window shows and,
// in the receiver's log, what the receiver did and when. After each scenario it asks the
// receiver for the output reports that were not of its mode's length and report number:
// any fails the scenario. It prints each step and, per scenario, "VERDICT LABEL PASS|FAIL
// SECONDS"; it ends with status 0 when every scenario passed, 1 when one failed, 2 on a
// bad command line, and 3 when the receiver failed a command, which ends the run at once.
// --received names the file the receiver writes the image it received to; --trace
// makes Wine trace the tool's own calls (WINEDEBUG) in the scenarios marked traced.
#include <windows.h>

#include <dbt.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Scenario.h"
#include "update/locale/Localization.h"
#include "link/Frames.h"
#include "link/Hid.h"
#include "sim/WholeFile.h"
#include "support/MainWindowHarness.h"
#include "support/WinTest.h"
#include "update/FirmwareImage.h"

namespace {

using Look = ToolUnderTest::Look;
using kxtest::WaitFor;

// What the receiver sends of its own in mode 2 (--stream): a version report with a version
// word not its own, V9.99, so a tool that took it for the answer to a question would show
// a version other than the receiver's.
constexpr std::uint32_t kStreamedVersion = 999;

// The receiver's hidraw node in mode 1, once sysfs names it and it is in /dev (an open
// refused for want of access means it is there).
std::wstring AwaitReceiverNode() {
    std::wstring node;
    Check(WaitFor(
              [&] {
                  node = ReceiverNode(kDeviceTable[0].ProductID);
                  const DWORD error = node.empty() ? ERROR_FILE_NOT_FOUND : OpenError(node);
                  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
              },
              kLookMs),
          L"the receiver has no hidraw node");
    return node;
}

// A receiver in mode 1 at start: the connected look and its version.
void PresentInMode1(Scenario& s) {
    s.Begin({"", 1});
    s.ExpectLook(Look::Connected, s.VersionText(), L"connected");
    s.Close();
}

// A receiver in mode 2 at start, sending reports of its own all the while: it is asked
// to switch, comes back in mode 1, and its own version shows. In mode 2 the tool only
// writes the request to switch and never reads; the reports it is sent meanwhile change
// nothing.
void PresentInMode2(Scenario& s) {
    s.Begin({"--mode 2 --stream " + std::to_string(kStreamedVersion), 2});
    s.ExpectReturned(s.VersionText(), L"switched");
    const ReceiverLine left = s.AwaitReceiverLine("unplugged (switching to mode 1)", kStepMs);
    Check(left.Text.find("reports of its own sent in mode 2: ") != std::string::npos,
          L"the receiver sent nothing of its own in mode 2");
    Say(L"In mode 2 the receiver " + std::wstring(left.Text.begin(), left.Text.end()));
    s.Close();
}

// Unplugged and plugged in again while the tool runs: the looks follow.
void Replugged(Scenario& s) {
    s.Begin({"", 1});
    s.ExpectLook(Look::Connected, s.VersionText(), L"connected");
    s.TellReceiver("unplug");
    s.ExpectLook(Look::NotConnected, L"", L"unplugged");
    s.TellReceiver("plug");
    s.ExpectLook(Look::Connected, s.VersionText(), L"plugged-again");
    s.Close();
}

// A whole update with this image: the success prompt, the receiver's copy byte for byte,
// and the image's version once the receiver has rebooted.
// The tool started against a receiver in mode 1.
void UpdateStarted(Scenario& s, const std::wstring& path, DWORD timeoutMs) {
    FirmwareImage image;
    Check(LoadFirmwareImage(path, &image) == ImageCheck::Ok, L"no image at " + path);
    s.ExpectLook(Look::Connected, s.VersionText(), L"connected");
    s.BeginUpdate(path);
    const ULONGLONG started = GetTickCount64();
    Check(s.AwaitOutcome(L"success", timeoutMs) == LoadLocalizedString(TXT_UPDATE_SUCCEEDED),
          L"the update did not succeed");
    Say(L"The update took " + std::to_wstring((GetTickCount64() - started + 500) / 1000) +
        L" s from the confirmation to the prompt");

    std::vector<std::uint8_t> sent, received;
    Check(ReadWholeFile(path, &sent) == 0, L"cannot read the image");
    Check(WaitFor([&] { return ReadWholeFile(s.Config().Received, &received) == 0; }, kStepMs),
          L"the receiver wrote no copy of what it received");
    Check(received == sent, L"the receiver's copy differs from " + path);
    Say(L"The receiver's copy equals the image byte for byte (" + std::to_wstring(sent.size()) +
        L" bytes)");

    s.ExpectReturned(FormatVersionText(image.Header.VersionWord), L"new-version");
    s.Close();
}

void UpdateWith(Scenario& s, const std::wstring& path, DWORD timeoutMs = kUpdateMs) {
    s.Begin({"", 1});
    UpdateStarted(s, path, timeoutMs);
}

// The release sample.
void WholeUpdate(Scenario& s) {
    UpdateWith(s, s.Config().Image);
}

// An image of its own beside the received one: V1.37 of `length` data bytes.
std::wstring MakeImage(Scenario& s, const std::wstring& name, std::uint32_t length) {
    const std::wstring received = s.Config().Received;
    const std::wstring path = received.substr(0, received.find_last_of(L"\\") + 1) + name;
    kxtest::WriteImage(path, 137, length, length);
    return path;
}

// A small image (4 KiB), where the update's length matters less than who runs it.
void SmallUpdate(Scenario& s) {
    UpdateWith(s, MakeImage(s, L"small.dat", 4096));
}

// Run by a user whom the udev rule lets open the receiver: its hidraw node opens for
// this user, and a small update goes through.
void PermittedUpdate(Scenario& s) {
    s.Begin({"", 1});
    const std::wstring node = AwaitReceiverNode();
    // udevd applies the rule to a node just made: the open is granted a moment later.
    DWORD error = 0;
    WaitFor([&] { return (error = OpenError(node)) == 0; }, kLookMs);
    Say(L"Opening " + node + L" as this user: error " + std::to_wstring(error));
    Check(error == 0, L"opening " + node + L" was refused");
    UpdateStarted(s, MakeImage(s, L"small.dat", 4096), kUpdateMs);
}

// Another interface with the receiver's vendor and product number and reports of 8 bytes,
// listed before it, as another collection of the same device would be: the system gives
// each the report lengths of its descriptor, and the tool passes the other by, shows the
// receiver and updates it. The receiver's audit then finds nothing written to the other.
void OtherInterfaceFirst(Scenario& s) {
    s.RestartReceiver({"--other-interface 8", 0});
    std::vector<ListedInterface> listed;
    WaitFor(
        [&] {
            listed = ListedInterfaces(kDeviceTable[0].ProductID);
            return listed.size() >= 2;
        },
        kLookMs);
    std::wstring lengths;
    for (const ListedInterface& entry : listed)
        lengths += L" " + std::to_wstring(entry.InputLength) + L"/" +
                   std::to_wstring(entry.OutputLength);
    Say(L"Listed under the receiver's numbers, in order (input/output bytes):" + lengths);
    const ReportGeometry& mode1 = kDeviceTable[0].Reports;
    Check(listed.size() == 2 && listed[0].InputLength == 8 && listed[0].OutputLength == 8 &&
              listed[1].InputLength == mode1.InputLength &&
              listed[1].OutputLength == mode1.OutputLength,
          L"not the other interface's 8/8 and then the receiver's " +
              std::to_wstring(mode1.InputLength) + L"/" + std::to_wstring(mode1.OutputLength));
    s.StartTool();
    UpdateStarted(s, MakeImage(s, L"small.dat", 4096), kUpdateMs);
}

// A 1 MiB image through the real stack, block by block: not one of ./test's scenarios
// (KX_REALSTACK_SCENARIOS=large-update runs it).
void LargeUpdate(Scenario& s) {
    UpdateWith(s, MakeImage(s, L"large.dat", 1u << 20), 16 * kUpdateMs);
}

// An update that ends with the failure prompt, the receiver set up as given, within
// kPromptAfterMs of what the receiver logs as `logged` (the event named); then the look
// of a receiver gone or still there.
void FailedUpdate(Scenario& s, const std::string& receiver, const std::string& logged,
                  const std::wstring& event, Look after) {
    s.Begin({receiver, 1});
    s.ExpectLook(Look::Connected, s.VersionText(), L"connected");
    s.BeginUpdate(s.Config().Image);
    Check(s.AwaitOutcome(L"failure") == LoadLocalizedString(TXT_UPDATE_FAILED),
          L"the update did not end with the failure prompt");
    s.ExpectPromptSoonAfter(logged, event);
    s.ExpectLook(after, after == Look::Connected ? s.VersionText() : L"", L"after-failure");
}

// Unplugged in the middle of an update: the failure prompt soon after, the not-connected
// look, a window that still answers; plugged in again, the connected look comes back.
void UnpluggedDuringUpdate(Scenario& s) {
    FailedUpdate(s, "--unplug-at 300", "unplugged (at the block it was told to leave at)",
                 L"the receiver left", Look::NotConnected);
    s.TellReceiver("plug");
    s.ExpectLook(Look::Connected, s.VersionText(), L"plugged-again");
    s.Close();
}

// The receiver answers a data request with a failure code: the failure prompt soon
// after, and the update button enabled again for the receiver still there.
void FailureReply(Scenario& s) {
    FailedUpdate(s, "--fail-at 5:0x18", "sending: failure 0x18",
                 L"the receiver sent failure code 0x18", Look::Connected);
    s.Close();
}

// Run by a user who may not open the receiver: its hidraw node is there and refuses
// this user; the not-connected look, and it stays so, with no prompt.
void NotPermitted(Scenario& s) {
    s.RestartReceiver({"", 0});
    const std::wstring node = AwaitReceiverNode();
    const DWORD error = OpenError(node);
    Say(L"Opening " + node + L" as this user: error " + std::to_wstring(error));
    Check(error == ERROR_ACCESS_DENIED, L"opening " + node + L" was not refused as access denied");
    s.StartTool();
    s.ExpectLook(Look::NotConnected, L"", L"not-permitted");
    Sleep(kSteadyMs);
    Check(s.Tool().CurrentPrompt() == nullptr, L"a prompt appeared");
    Check(s.Tool().WaitForLook(Look::NotConnected, L"", 0), L"the look changed");
    s.Close();
}

// A hidden top-level window that counts the device-change notifications it is sent.
class NotificationCounter {
public:
    NotificationCounter() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"KestrixRealStackNotifications";
        RegisterClassW(&wc);
        m_hWnd = CreateWindowW(wc.lpszClassName, L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                               wc.hInstance, this);
    }
    ~NotificationCounter() { DestroyWindow(m_hWnd); }
    NotificationCounter(const NotificationCounter&) = delete;
    NotificationCounter& operator=(const NotificationCounter&) = delete;

    HWND Window() const { return m_hWnd; }
    int Count(WPARAM event) const {
        const auto it = m_Counts.find(event);
        return it == m_Counts.end() ? 0 : it->second;
    }

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE)
            SetWindowLongPtrW(hwnd, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(
                                  reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
        auto* self = reinterpret_cast<NotificationCounter*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (message == WM_DEVICECHANGE && self) {
            ++self->m_Counts[wParam];
            return TRUE;
        }
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }

    HWND m_hWnd = nullptr;
    std::map<WPARAM, int> m_Counts;
};

// The link layer (CHid and the frame senders) on the real stack, without the window: the
// search finds the receiver and registers for notifications, a version query is answered
// with a report the read brings whole, a read with nothing to bring ends at its
// time-out, and the receiver leaving while a read waits ends that read as "device gone",
// fails the next write, and is notified, as is its coming back.
void LinkOnRealStack(Scenario& s) {
    s.RestartReceiver({"", 1});
    NotificationCounter notifications;
    CHid hid;
    hid.m_hNotifyWnd = notifications.Window();

    Check(hid.FindDevice() == 1 && hid.Mode() == 1, L"the search does not find it in mode 1");
    Check(hid.OpenDevice() == 1, L"the receiver does not open");
    Check(SendLinkFrame(hid, SUB_QUERY_VERSION, nullptr, 0) == 1,
          L"the version query was not written");
    std::uint8_t reply[REPORT_LENGTH_MODE1 - 1] = {};
    DWORD result = HID_READ_TIMEOUT;
    for (int i = 0; i < 50 && result != HID_READ_OK; ++i)
        result = hid.ReadHid(reply, sizeof(reply));
    const std::uint8_t* frame = reply + 1;
    Check(result == HID_READ_OK && frame[0] == 0x00 && frame[FRAME_TYPE_OFFSET] == FRAME_LINK &&
              frame[FRAME_SUBCODE_OFFSET] == SUB_VERSION &&
              (frame[7] | frame[8] << 8 | frame[9] << 16 | frame[10] << 24) == kReceiverVersion,
          L"the version reply did not come whole");
    Say(L"Version query written, version reply read");

    const ULONGLONG quiet = GetTickCount64();
    result = hid.ReadHid(reply, sizeof(reply));
    const ULONGLONG quietMs = GetTickCount64() - quiet;
    Say(L"A read with nothing to bring: result " + std::to_wstring(result) + L" after " +
        std::to_wstring(quietMs) + L" ms (time-out " + std::to_wstring(hid.ReadTimeout()) +
        L" ms)");
    Check(result == HID_READ_TIMEOUT && quietMs + 20 >= hid.ReadTimeout(),
          L"the read did not end at its time-out");

    // The receiver leaves while a read waits for it.
    hid.SetReadTimeout(20000);
    ULONGLONG goneMs = 0;
    std::atomic<bool> ended{false};
    std::thread reader([&] {
        const ULONGLONG started = GetTickCount64();
        result = hid.ReadHid(reply, sizeof(reply));
        goneMs = GetTickCount64() - started;
        ended = true;
    });
    Sleep(500);
    s.TellReceiver("unplug");
    // Keep the notification window's messages flowing meanwhile.
    WaitFor([&] { return ended.load(); }, 30000);
    reader.join();
    Say(L"A read waiting as the receiver left: result " + std::to_wstring(result) + L" after " +
        std::to_wstring(goneMs) + L" ms");
    Check(result == HID_READ_DEVICE_GONE && hid.DeviceGone(),
          L"the waiting read did not end as device gone");
    const ULONGLONG write = GetTickCount64();
    Check(SendShortCommand(hid, CMD_POLL, 0) == 0,
          L"a write to the gone receiver counted as written");
    Say(L"A write to the gone receiver failed after " + std::to_wstring(GetTickCount64() - write) +
        L" ms");

    // Away until the system no longer lists it, as a person pulls it out and puts it back.
    Check(WaitFor([] { return !ReceiverListed(kDeviceTable[0].ProductID); }, kLookMs),
          L"the system still lists the receiver");
    const auto notified = [&] {
        return std::to_wstring(notifications.Count(DBT_DEVICEREMOVECOMPLETE)) + L" removal, " +
               std::to_wstring(notifications.Count(DBT_DEVICEARRIVAL)) + L" arrival, " +
               std::to_wstring(notifications.Count(DBT_DEVNODES_CHANGED)) + L" devnodes-changed";
    };
    s.TellReceiver("plug");
    Check(WaitFor(
              [&] {
                  return notifications.Count(DBT_DEVICEREMOVECOMPLETE) > 0 &&
                         notifications.Count(DBT_DEVICEARRIVAL) > 0;
              },
              kLookMs),
          L"the removal and the arrival were not both notified: " + notified());
    Say(L"Notified: " + notified());

    // Mode 2: the tool only writes the request to switch, but the link layer reads what
    // such a receiver sends all the same, reports of 65 bytes with a 0x00 in front.
    s.RestartReceiver({"--mode 2 --stream " + std::to_string(kStreamedVersion), 2});
    Check(hid.FindDevice() == 1 && hid.Mode() == 2, L"the search does not find it in mode 2");
    Check(hid.OpenDevice() == 1, L"the receiver does not open in mode 2");
    hid.SetReadTimeout(1000);
    result = HID_READ_TIMEOUT;
    for (int i = 0; i < 10 && result != HID_READ_OK; ++i)
        result = hid.ReadHid(reply, sizeof(reply));
    Check(result == HID_READ_OK && reply[0] >= 11 && frame[0] == 0x00 &&
              frame[FRAME_SUBCODE_OFFSET] == SUB_VERSION &&
              (frame[7] | frame[8] << 8 | frame[9] << 16 | frame[10] << 24) == kStreamedVersion,
          L"a report the receiver sent in mode 2 did not come whole");
    Say(L"A report the receiver sent in mode 2 read whole");
}

struct ScenarioEntry {
    void (*Run)(Scenario&);
    bool Traced;
};

const std::map<std::wstring, ScenarioEntry>& Scenarios() {
    static const std::map<std::wstring, ScenarioEntry> scenarios = {
        {L"mode1", {PresentInMode1, true}},      {L"mode2", {PresentInMode2, false}},
        {L"replug", {Replugged, false}},         {L"update", {WholeUpdate, false}},
        {L"small-update", {SmallUpdate, false}}, {L"unplug-update", {UnpluggedDuringUpdate, false}},
        {L"failure", {FailureReply, false}},     {L"not-permitted", {NotPermitted, false}},
        {L"link", {LinkOnRealStack, false}},     {L"permitted-update", {PermittedUpdate, false}},
        {L"large-update", {LargeUpdate, false}},       {L"other-interface", {OtherInterfaceFirst, false}},
    };
    return scenarios;
}

// A scenario to run, under the label its verdict carries.
struct Run {
    std::wstring Label;
    std::wstring Name;
};

bool ParseArguments(int argc, wchar_t** argv, Setup* setup, std::vector<Run>* runs) {
    const std::map<std::wstring, std::wstring*> values = {
        {L"--tool", &setup->Tool},
        {L"--control", &setup->Control},
        {L"--receiver-log", &setup->ReceiverLog},
        {L"--image", &setup->Image},
        {L"--received", &setup->Received},
        {L"--trace", &setup->Trace},
    };
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const auto value = values.find(arg);
        if (value != values.end()) {
            if (++i >= argc)
                return false;
            *value->second = argv[i];
            continue;
        }
        const std::size_t equals = arg.find(L'=');
        Run run{arg.substr(0, equals), arg.substr(equals == std::wstring::npos ? 0 : equals + 1)};
        if (!Scenarios().count(run.Name))
            return false;
        runs->push_back(run);
    }
    return !runs->empty() && !setup->Tool.empty() && !setup->Control.empty() &&
           !setup->ReceiverLog.empty();
}

enum class Verdict { Passed, Failed, ReceiverFailed };

// Runs one scenario, then has the receiver account for the reports it was sent.
Verdict RunScenario(const Setup& setup, const Run& run) {
    Say(L"=== " + run.Label + (run.Label != run.Name ? L" (" + run.Name + L")" : L""));
    const ULONGLONG started = GetTickCount64();
    const ScenarioEntry& entry = Scenarios().at(run.Name);
    Verdict verdict = Verdict::Passed;
    try {
        {
            Scenario scenario(setup, run.Label, entry.Traced);
            try {
                entry.Run(scenario);
            } catch (const Failure& failure) {
                Say(L"FAILED: " + failure.What);
                if (scenario.Tool().Window())
                    scenario.Shot(L"failed");
                verdict = Verdict::Failed;
            }
        } // the tool, if still running, has ended: it writes nothing more
        const std::string wrong = TellReceiver(setup, "audit");
        if (!wrong.empty()) {
            Say(L"FAILED: the receiver was written reports not of its mode's length and report "
                L"number, or to its other interface: " +
                std::wstring(wrong.begin(), wrong.end()));
            verdict = Verdict::Failed;
        }
    } catch (const ReceiverFailed& failed) {
        Say(L"RECEIVER FAILED: " + failed.What + L". The run ends here.");
        verdict = Verdict::ReceiverFailed;
    }
    wprintf(L"VERDICT %ls %ls %llu\n", run.Label.c_str(),
            verdict == Verdict::Passed ? L"PASS" : L"FAIL",
            (GetTickCount64() - started + 500) / 1000);
    fflush(stdout);
    return verdict;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    Setup setup;
    std::vector<Run> runs;
    if (!ParseArguments(argc, argv, &setup, &runs)) {
        fwprintf(stderr, L"usage: KestrixRealStack --tool EXE --control FILE --receiver-log FILE "
                         L"[--image DAT] [--received FILE] [--trace CHANNELS] "
                         L"[LABEL=]SCENARIO...\n");
        return 2;
    }
    bool allPassed = true;
    for (const Run& run : runs) {
        const Verdict verdict = RunScenario(setup, run);
        if (verdict == Verdict::ReceiverFailed)
            return 3;
        allPassed = verdict == Verdict::Passed && allPassed;
    }
    return allPassed ? 0 : 1;
}
