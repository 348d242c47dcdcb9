#include "Scenario.h"

#include <setupapi.h>

#include <cstdio>
#include <vector>

#include "link/DeviceHandles.h"
#include "link/Hid.h"
#include "res/resource.h"
#include "sim/WholeFile.h"
#include "support/MainWindowHarness.h"
#include "support/WinTest.h"
#include "update/FirmwareImage.h"

using Look = ToolUnderTest::Look;
using kxtest::WaitFor;

namespace {
const ULONGLONG g_Start = GetTickCount64();
} // namespace

void Say(const std::wstring& text) {
    wprintf(L"[%7.1f s] %ls\n", (GetTickCount64() - g_Start) / 1000.0, text.c_str());
    fflush(stdout);
}

void Check(bool ok, const std::wstring& what) {
    if (!ok)
        throw Failure{what};
}

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

std::wstring Scenario::VersionText() {
    return FormatVersionText(kReceiverVersion);
}

void Scenario::Shot(const std::wstring& step, HWND window) {
    m_Tool.Screenshot(L"realstack-" + m_Label + L"-" + step, window);
}

// The receiver is unplugged until the system no longer lists it, as a person pulls it
// out and puts it back: Wine's HID bus does not see a device again that comes back within
// milliseconds.
void Scenario::RestartReceiver(const ReceiverSetup& receiver) {
    TellReceiver("unplug");
    Check(WaitFor(
              [] {
                  return !ReceiverListed(kDeviceTable[0].ProductID) &&
                         !ReceiverListed(kDeviceTable[1].ProductID);
              },
              kLookMs),
          L"the system still lists the receiver");
    TellReceiver("restart --version " + std::to_string(kReceiverVersion) + " " + receiver.Options);
    if (receiver.ListedInMode) {
        const std::uint16_t product = kDeviceTable[receiver.ListedInMode - 1].ProductID;
        Check(WaitFor([&] { return ReceiverListed(product); }, kLookMs),
              L"the system does not list the receiver");
        Say(L"The system lists the receiver in mode " + std::to_wstring(receiver.ListedInMode));
    }
}

void Scenario::Begin(const ReceiverSetup& receiver) {
    RestartReceiver(receiver);
    // Only the tool is traced: the environment is read when its process starts.
    SetEnvironmentVariableW(L"WINEDEBUG", m_bTraced ? m_Setup.Trace.c_str() : L"-all");
    Say(L"Starting " + m_Setup.Tool);
    Check(m_Tool.Start(kStartMs), L"the tool's window did not appear");
}

void Scenario::ExpectLook(Look look, const std::wstring& version, const std::wstring& step) {
    const bool connected = look == Look::Connected;
    Check(m_Tool.WaitForLook(look, version, kLookMs),
          connected ? L"the connected look with " + version + L" did not come"
                    : L"the not-connected look did not come");
    Say(connected ? L"Connected look, update button enabled, version " + version
                  : L"Not-connected look, update button disabled, no version");
    Shot(step);
}

void Scenario::TellReceiver(const std::string& command) {
    Say(L"Receiver: " + std::wstring(command.begin(), command.end()));
    const std::wstring staged = m_Setup.Control + L".new";
    const std::vector<std::uint8_t> bytes(command.begin(), command.end());
    // The shared folder refuses a write now and then while the receiver looks at it: the
    // write is tried again for a while before the run gives up.
    DWORD error = ERROR_SUCCESS;
    Check(WaitFor(
              [&] {
                  error = WriteWholeFile(staged, bytes);
                  if (error == ERROR_SUCCESS && !MoveFileExW(staged.c_str(), m_Setup.Control.c_str(),
                                                             MOVEFILE_REPLACE_EXISTING))
                      error = GetLastError();
                  return error == ERROR_SUCCESS;
              },
              kStepMs),
          L"cannot write the receiver's command file (error " + std::to_wstring(error) + L")");
    Check(
        WaitFor(
            [&] { return GetFileAttributesW(m_Setup.Control.c_str()) == INVALID_FILE_ATTRIBUTES; },
            kStepMs),
        L"the receiver did not take its command");
}

void Scenario::BeginUpdate(const std::wstring& path) {
    FirmwareImage image;
    Check(LoadFirmwareImage(path, &image) == ImageCheck::Ok,
          L"the image " + path + L" cannot be read");
    const FirmwareHeader& header = image.Header;
    DeleteFileW(m_Setup.Received.c_str());
    Say(L"Clicking Update");
    m_Tool.ClickUpdate();
    HWND chooser = m_Tool.WaitForChooser(kStepMs);
    Check(chooser != nullptr, L"the file chooser did not open");
    Shot(L"chooser", chooser);
    Say(L"Choosing " + path);
    kxtest::MainWindowHarness::ChooseFile(chooser, path);
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

std::wstring Scenario::AwaitOutcome(const std::wstring& step) {
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

void Scenario::Close() {
    Check(m_Tool.CurrentPrompt() == nullptr, L"a prompt is still open");
    Check(m_Tool.Responds(kResponseMs), L"the window does not answer");
    Say(L"Closing the tool");
    m_Tool.ClickClose();
    HWND question = nullptr;
    WaitFor([&] { return m_Tool.Exited() || (question = m_Tool.CurrentPrompt()) != nullptr; },
            kCloseMs);
    Check(question == nullptr,
          L"the close button asked \"" + ToolUnderTest::PromptText(question) + L"\"");
    Check(m_Tool.Exited(), L"the tool did not end after the close button");
}
