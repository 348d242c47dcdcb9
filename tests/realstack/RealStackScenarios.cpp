// The scenarios of the real-stack test: the shipped tool against the virtual receiver
// on a real HID stack, used the way a person would. tests/realstack/guest.sh starts the
// receiver (sim/uhid) with a control file, then runs
//
//   KestrixRealStack.exe --tool EXE --control FILE --image DAT --received FILE
//                        [--trace CHANNELS] [LABEL=]SCENARIO...
//
// Each scenario restarts the receiver as it needs it (through the control file, which
// also takes "unplug" and "plug"), starts the tool, and checks what the window shows.
// It prints each step and, per scenario, "VERDICT LABEL PASS|FAIL SECONDS"; it ends with
// status 0 when every scenario passed, 1 when one failed, 2 on a bad command line.
// --received names the file the receiver writes the image it received to; --trace
// makes Wine trace the tool's own calls (WINEDEBUG) in the scenarios marked traced.
#include <windows.h>

#include <setupapi.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ToolUnderTest.h"
#include "app/Localization.h"
#include "link/DeviceHandles.h"
#include "link/Hid.h"
#include "res/resource.h"
#include "sim/WholeFile.h"
#include "support/MainWindowHarness.h"
#include "support/WinTest.h"
#include "update/FirmwareImage.h"

namespace {

using Look = ToolUnderTest::Look;
using kxtest::WaitFor;

// The guest runs under software emulation: waits are generous, and only their time-outs
// cost time.
constexpr DWORD kStartMs = 60000;   // the tool's window appears
constexpr DWORD kLookMs = 30000;    // a look follows the receiver's arrival or removal
constexpr DWORD kStepMs = 20000;    // a window opens or closes after a click
constexpr DWORD kUpdateMs = 240000; // a whole update of the release sample
constexpr DWORD kSteadyMs = 5000;   // nothing more happens for this long
constexpr DWORD kResponseMs = 2000; // the window answers a message
constexpr DWORD kCloseMs = 20000;   // the process has ended after the close button

// The version the receiver reports until it is updated: V1.34.
constexpr std::uint32_t kReceiverVersion = 0x00000086;

struct Setup {
    std::wstring Tool;
    std::wstring Control;
    std::wstring Image;
    std::wstring Received;
    std::wstring Trace;
};

ULONGLONG g_Start = GetTickCount64();

void Say(const std::wstring& text) {
    wprintf(L"[%7.1f s] %ls\n", (GetTickCount64() - g_Start) / 1000.0, text.c_str());
    fflush(stdout);
}

// A failed check: it ends the scenario with what failed.
struct Failure {
    std::wstring What;
};

void Check(bool ok, const std::wstring& what) {
    if (!ok)
        throw Failure{what};
}

// Whether the system lists the receiver's HID interface under this product number, as a
// program starting now would find it.
bool ReceiverListed(std::uint16_t product) {
    wchar_t numbers[32];
    swprintf(numbers, 32, L"vid_%04x&pid_%04x", kDeviceTable[0].VendorID, product);
    DeviceApi& api = RealDeviceApi();
    GUID hid{};
    api.HidD_GetHidGuid(&hid);
    UniqueDeviceInfoList set(api, api.SetupDiGetClassDevsW(&hid, nullptr, nullptr,
                                                           DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof(iface);
    for (DWORD i = 0;
         set.Valid() && api.SetupDiEnumDeviceInterfaces(set.Get(), nullptr, &hid, i, &iface); ++i) {
        std::vector<DWORD> words(512);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(words.data());
        detail->cbSize = sizeof(*detail);
        if (!api.SetupDiGetDeviceInterfaceDetailW(set.Get(), &iface, detail,
                                                  static_cast<DWORD>(words.size() * sizeof(DWORD)),
                                                  nullptr, nullptr))
            continue;
        std::wstring path = detail->DevicePath;
        for (wchar_t& c : path)
            c = static_cast<wchar_t>(towlower(c));
        if (path.find(numbers) != std::wstring::npos)
            return true;
    }
    return false;
}

// How a scenario finds the receiver when the tool starts.
struct ReceiverSetup {
    std::string Options; // of the receiver's restart command
    int ListedInMode;    // wait until the system lists it in this mode; 0: do not wait
};

class Scenario {
public:
    Scenario(const Setup& setup, std::wstring label, bool traced)
        : m_Setup(setup), m_Label(std::move(label)), m_bTraced(traced), m_Tool(setup.Tool) {}

    const Setup& Config() const { return m_Setup; }
    ToolUnderTest& Tool() { return m_Tool; }
    static std::wstring VersionText() { return FormatVersionText(kReceiverVersion); }

    void Shot(const std::wstring& step, HWND window = nullptr) {
        m_Tool.Screenshot(L"realstack-" + m_Label + L"-" + step, window);
    }

    // Restarts the receiver as given, then starts the tool. The receiver is unplugged
    // until the system no longer lists it, as a person would pull it out and put it
    // back: Wine's HID bus does not see a device again that comes back within
    // milliseconds.
    void Begin(const ReceiverSetup& receiver) {
        TellReceiver("unplug");
        Check(WaitFor(
                  [] {
                      return !ReceiverListed(kDeviceTable[0].ProductID) &&
                             !ReceiverListed(kDeviceTable[1].ProductID);
                  },
                  kLookMs),
              L"the system still lists the receiver");
        TellReceiver("restart --version " + std::to_string(kReceiverVersion) + " " +
                     receiver.Options);
        if (receiver.ListedInMode) {
            const std::uint16_t product = kDeviceTable[receiver.ListedInMode - 1].ProductID;
            Check(WaitFor([&] { return ReceiverListed(product); }, kLookMs),
                  L"the system does not list the receiver");
            Say(L"The system lists the receiver in mode " + std::to_wstring(receiver.ListedInMode));
        }
        // Only the tool is traced: the environment is read when its process starts.
        SetEnvironmentVariableW(L"WINEDEBUG", m_bTraced ? m_Setup.Trace.c_str() : L"-all");
        Say(L"Starting " + m_Setup.Tool);
        Check(m_Tool.Start(kStartMs), L"the tool's window did not appear");
    }

    void ExpectLook(Look look, const std::wstring& version, const std::wstring& step) {
        const bool connected = look == Look::Connected;
        Check(m_Tool.WaitForLook(look, version, kLookMs),
              connected ? L"the connected look with " + version + L" did not come"
                        : L"the not-connected look did not come");
        Say(connected ? L"Connected look, update button enabled, version " + version
                      : L"Not-connected look, update button disabled, no version");
        Shot(step);
    }

    // Tells the receiver what to do, and waits until it has done it.
    void TellReceiver(const std::string& command) {
        Say(L"Receiver: " + std::wstring(command.begin(), command.end()));
        const std::wstring staged = m_Setup.Control + L".new";
        const std::vector<std::uint8_t> bytes(command.begin(), command.end());
        Check(WriteWholeFile(staged, bytes) == 0 &&
                  MoveFileExW(staged.c_str(), m_Setup.Control.c_str(), MOVEFILE_REPLACE_EXISTING),
              L"cannot write the receiver's command file");
        Check(WaitFor(
                  [&] {
                      return GetFileAttributesW(m_Setup.Control.c_str()) == INVALID_FILE_ATTRIBUTES;
                  },
                  kStepMs),
              L"the receiver did not take its command");
    }

    // Update, the file chooser with the image, the confirmation: the update is running.
    void BeginUpdate() {
        FirmwareHeader header{};
        Check(ReadImageHeader(m_Setup.Image, &header) == ImageCheck::Ok,
              L"the image " + m_Setup.Image + L" cannot be read");
        DeleteFileW(m_Setup.Received.c_str());
        Say(L"Clicking Update");
        m_Tool.ClickUpdate();
        HWND chooser = m_Tool.WaitForChooser(kStepMs);
        Check(chooser != nullptr, L"the file chooser did not open");
        Shot(L"chooser", chooser);
        Say(L"Choosing " + m_Setup.Image);
        kxtest::MainWindowHarness::ChooseFile(chooser, m_Setup.Image);
        HWND confirm = m_Tool.WaitForPrompt(kStepMs);
        Check(confirm != nullptr, L"no confirmation was asked");
        const std::wstring question = ToolUnderTest::PromptText(confirm);
        Say(L"Asked: " + question);
        Check(question == FormatConfirmationText(header.VersionWord),
              L"the confirmation does not name the image's version");
        Shot(L"confirm");
        Check(m_Tool.AnswerPrompt(confirm, IDC_BTN_OK, kStepMs), L"the confirmation did not close");
        Check(!m_Tool.UpdateButtonEnabled(), L"the update button is enabled during the update");
    }

    // Follows the progress bar until a prompt ends the update; returns its text.
    std::wstring AwaitOutcome(const std::wstring& step) {
        int said = -1;
        HWND outcome = nullptr;
        WaitFor(
            [&] {
                const int pos = m_Tool.ProgressPos();
                if (pos / 25 > said / 25) {
                    said = pos;
                    Say(L"Progress " + std::to_wstring(pos) + L" %");
                }
                return (outcome = m_Tool.CurrentPrompt()) != nullptr;
            },
            kUpdateMs);
        Check(outcome != nullptr, L"the update did not end with a prompt");
        const std::wstring text = ToolUnderTest::PromptText(outcome);
        Say(L"Told: " + text);
        Shot(step);
        Check(m_Tool.AnswerPrompt(outcome, IDC_BTN_OK, kStepMs), L"the prompt did not close");
        return text;
    }

    // Nothing hangs: the window answers, and the close button ends the process. After a
    // failed update the tool still counts the update as running and asks whether to abort
    // it; the person says OK.
    void Close(bool afterFailedUpdate = false) {
        Check(m_Tool.CurrentPrompt() == nullptr, L"a prompt is still open");
        Check(m_Tool.Responds(kResponseMs), L"the window does not answer");
        Say(L"Closing the tool");
        m_Tool.ClickClose();
        if (afterFailedUpdate) {
            HWND question = m_Tool.WaitForPrompt(kStepMs);
            Check(question != nullptr, L"the close button asked nothing");
            Say(L"Asked: " + ToolUnderTest::PromptText(question) + L" -> OK");
            Shot(L"abort-question");
            m_Tool.AnswerPrompt(question, IDC_BTN_OK, kStepMs);
        }
        Check(m_Tool.WaitForExit(kCloseMs), L"the tool did not end after the close button");
    }

private:
    Setup m_Setup;
    std::wstring m_Label;
    bool m_bTraced;
    ToolUnderTest m_Tool;
};

// A receiver in mode 1 at start: the connected look and its version.
void PresentInMode1(Scenario& s) {
    s.Begin({"", 1});
    s.ExpectLook(Look::Connected, s.VersionText(), L"connected");
    s.Close();
}

// A receiver in mode 2 at start: it is asked to switch, comes back in mode 1, and its
// version shows.
void PresentInMode2(Scenario& s) {
    s.Begin({"--mode 2", 2});
    s.ExpectLook(Look::Connected, s.VersionText(), L"switched");
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

// A whole update: the success prompt, the receiver's copy byte for byte, and the new
// version once the receiver has rebooted.
void WholeUpdate(Scenario& s) {
    FirmwareHeader header{};
    Check(ReadImageHeader(s.Config().Image, &header) == ImageCheck::Ok, L"no image");
    s.Begin({"", 1});
    s.ExpectLook(Look::Connected, s.VersionText(), L"connected");
    s.BeginUpdate();
    Check(s.AwaitOutcome(L"success") == LoadLocalizedString(TXT_UPDATE_SUCCEEDED),
          L"the update did not succeed");

    std::vector<std::uint8_t> sent, received;
    Check(ReadWholeFile(s.Config().Image, &sent) == 0, L"cannot read the image");
    Check(WaitFor([&] { return ReadWholeFile(s.Config().Received, &received) == 0; }, kStepMs),
          L"the receiver wrote no copy of what it received");
    Check(received == sent, L"the receiver's copy differs from " + s.Config().Image);
    Say(L"The receiver's copy equals the image byte for byte (" + std::to_wstring(sent.size()) +
        L" bytes)");

    s.ExpectLook(Look::Connected, FormatVersionText(header.VersionWord), L"new-version");
    s.Close();
}

// Unplugged in the middle of an update: the failure prompt, the not-connected look, a
// window that still answers; plugged in again, the connected look comes back.
void UnpluggedDuringUpdate(Scenario& s) {
    s.Begin({"--unplug-at 300", 1});
    s.ExpectLook(Look::Connected, s.VersionText(), L"connected");
    s.BeginUpdate();
    Check(s.AwaitOutcome(L"failure") == LoadLocalizedString(TXT_UPDATE_FAILED),
          L"the update did not end with the failure prompt");
    s.ExpectLook(Look::NotConnected, L"", L"after-failure");
    s.TellReceiver("plug");
    s.ExpectLook(Look::Connected, s.VersionText(), L"plugged-again");
    s.Close(true);
}

// The receiver answers a data request with a failure code: the failure prompt, and the
// update button enabled again for the receiver still there.
void FailureReply(Scenario& s) {
    s.Begin({"--fail-at 5:0x18", 1});
    s.ExpectLook(Look::Connected, s.VersionText(), L"connected");
    s.BeginUpdate();
    Check(s.AwaitOutcome(L"failure") == LoadLocalizedString(TXT_UPDATE_FAILED),
          L"the update did not end with the failure prompt");
    s.ExpectLook(Look::Connected, s.VersionText(), L"after-failure");
    s.Close(true);
}

// Run by a user who may not open the receiver: the not-connected look, and it stays so,
// with no prompt.
void NotPermitted(Scenario& s) {
    s.Begin({"", 0});
    s.ExpectLook(Look::NotConnected, L"", L"not-permitted");
    Sleep(kSteadyMs);
    Check(s.Tool().CurrentPrompt() == nullptr, L"a prompt appeared");
    Check(s.Tool().WaitForLook(Look::NotConnected, L"", 0), L"the look changed");
    s.Close();
}

struct ScenarioEntry {
    void (*Run)(Scenario&);
    bool Traced;
};

const std::map<std::wstring, ScenarioEntry>& Scenarios() {
    static const std::map<std::wstring, ScenarioEntry> scenarios = {
        {L"mode1", {PresentInMode1, true}},
        {L"mode2", {PresentInMode2, false}},
        {L"replug", {Replugged, false}},
        {L"update", {WholeUpdate, false}},
        {L"unplug-update", {UnpluggedDuringUpdate, false}},
        {L"failure", {FailureReply, false}},
        {L"not-permitted", {NotPermitted, false}},
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
        {L"--tool", &setup->Tool},   {L"--control", &setup->Control},
        {L"--image", &setup->Image}, {L"--received", &setup->Received},
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
    return !runs->empty() && !setup->Tool.empty() && !setup->Control.empty();
}

// Runs one scenario; true when it passed.
bool RunScenario(const Setup& setup, const Run& run) {
    Say(L"=== " + run.Label + (run.Label != run.Name ? L" (" + run.Name + L")" : L""));
    const ULONGLONG started = GetTickCount64();
    const ScenarioEntry& entry = Scenarios().at(run.Name);
    Scenario scenario(setup, run.Label, entry.Traced);
    bool passed = true;
    try {
        entry.Run(scenario);
    } catch (const Failure& failure) {
        Say(L"FAILED: " + failure.What);
        if (scenario.Tool().Window())
            scenario.Shot(L"failed");
        passed = false;
    }
    wprintf(L"VERDICT %ls %ls %llu\n", run.Label.c_str(), passed ? L"PASS" : L"FAIL",
            (GetTickCount64() - started + 500) / 1000);
    fflush(stdout);
    return passed;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    Setup setup;
    std::vector<Run> runs;
    if (!ParseArguments(argc, argv, &setup, &runs)) {
        fwprintf(stderr, L"usage: KestrixRealStack --tool EXE --control FILE [--image DAT] "
                         L"[--received FILE] [--trace CHANNELS] [LABEL=]SCENARIO...\n");
        return 2;
    }
    bool allPassed = true;
    for (const Run& run : runs)
        allPassed = RunScenario(setup, run) && allPassed;
    return allPassed ? 0 : 1;
}
