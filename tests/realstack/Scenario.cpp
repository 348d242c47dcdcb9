#include "Scenario.h"

#include <setupapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "link/DeviceHandles.h"
#include "link/Hid.h"
#include "link/UniqueKernelHandle.h"
#include "res/resource.h"
#include "sim/WholeFile.h"
#include "support/MainWindowHarness.h"
#include "support/WinTest.h"
#include "update/FirmwareImage.h"

using Look = ToolUnderTest::Look;
using kxtest::WaitFor;

namespace {
const ULONGLONG g_Start = GetTickCount64();

std::wstring Widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

std::wstring Seconds(double seconds) {
    wchar_t text[32];
    swprintf(text, 32, L"%.2f", seconds);
    return text;
}

// A file's bytes from offset on, as far as they have been written.
std::string ReadFrom(const std::wstring& path, std::size_t offset) {
    UniqueKernelHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
    std::string text;
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!file.Valid() || !SetFilePointerEx(file.Get(), at, nullptr, FILE_BEGIN))
        return text;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.Get(), buffer, sizeof(buffer), &got, nullptr) && got > 0)
        text.append(buffer, got);
    return text;
}
} // namespace

void Say(const std::wstring& text) {
    wprintf(L"[%7.1f s] %ls\n", (GetTickCount64() - g_Start) / 1000.0, text.c_str());
    fflush(stdout);
}

void Check(bool ok, const std::wstring& what) {
    if (!ok)
        throw Failure{what};
}

double UnixNow() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return (ticks - 116444736000000000ull) / 1e7; // 100 ns since 1601 to seconds since 1970
}

std::string TellReceiver(const Setup& setup, const std::string& command) {
    Say(L"Receiver: " + Widen(command));
    const std::wstring staged = setup.Control + L".new";
    const std::wstring reply = setup.Control + L".reply";
    DeleteFileW(reply.c_str());
    const std::vector<std::uint8_t> bytes(command.begin(), command.end());
    // The shared folder refuses a write now and then while the receiver looks at it: the
    // write is tried again for a while before the run gives up.
    DWORD error = ERROR_SUCCESS;
    if (!WaitFor(
            [&] {
                error = WriteWholeFile(staged, bytes);
                if (error == ERROR_SUCCESS &&
                    !MoveFileExW(staged.c_str(), setup.Control.c_str(), MOVEFILE_REPLACE_EXISTING))
                    error = GetLastError();
                return error == ERROR_SUCCESS;
            },
            kStepMs))
        throw ReceiverFailed{L"cannot write the receiver's command \"" + Widen(command) +
                             L"\" (error " + std::to_wstring(error) + L")"};
    std::vector<std::uint8_t> answer;
    if (!WaitFor([&] { return ReadWholeFile(reply, &answer) == 0; }, kStepMs))
        throw ReceiverFailed{L"the receiver did not answer the command \"" + Widen(command) +
                             L"\" within " + std::to_wstring(kStepMs / 1000) +
                             L" s: has it ended? (its log says)"};
    DeleteFileW(reply.c_str());
    std::string text(answer.begin(), answer.end());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    if (text.rfind("ok", 0) == 0 && (text.size() == 2 || text[2] == ' '))
        return text.size() > 3 ? text.substr(3) : std::string();
    throw ReceiverFailed{L"the receiver's command \"" + Widen(command) + L"\" failed: " +
                         Widen(text.rfind("failed ", 0) == 0 ? text.substr(7) : text)};
}

std::wstring ReceiverNode(std::uint16_t product) {
    char id[40];
    snprintf(id, sizeof(id), "HID_ID=0003:%08X:%08X\n", kDeviceTable[0].VendorID, product);
    const std::wstring classDir = L"Z:\\sys\\class\\hidraw\\";
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((classDir + L"hidraw*").c_str(), &found);
    std::wstring node;
    if (search == INVALID_HANDLE_VALUE)
        return node;
    do {
        const std::string uevent = ReadFrom(classDir + found.cFileName + L"\\device\\uevent", 0);
        if (uevent.find(id) != std::string::npos)
            node = std::wstring(L"Z:\\dev\\") + found.cFileName;
    } while (node.empty() && FindNextFileW(search, &found));
    FindClose(search);
    return node;
}

DWORD OpenError(const std::wstring& path) {
    UniqueKernelHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        0, nullptr));
    return file.Valid() ? 0 : GetLastError();
}

std::vector<ListedInterface> ListedInterfaces(std::uint16_t product) {
    wchar_t numbers[32];
    swprintf(numbers, 32, L"vid_%04x&pid_%04x", kDeviceTable[0].VendorID, product);
    DeviceApi& api = RealDeviceApi();
    GUID hid{};
    api.HidD_GetHidGuid(&hid);
    UniqueDeviceInfoList set(api, api.SetupDiGetClassDevsW(&hid, nullptr, nullptr,
                                                           DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof(iface);
    std::vector<ListedInterface> listed;
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
        if (path.find(numbers) == std::wstring::npos)
            continue;
        ListedInterface entry{detail->DevicePath};
        // No access asked for: the capabilities need none.
        UniqueDeviceHandle file(api, api.CreateFileW(detail->DevicePath, 0,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                     OPEN_EXISTING, 0, nullptr));
        PHIDP_PREPARSED_DATA data = nullptr;
        if (file.Valid() && api.HidD_GetPreparsedData(file.Get(), &data) && data) {
            HIDP_CAPS caps{};
            if (api.HidP_GetCaps(data, &caps) == HIDP_STATUS_SUCCESS) {
                entry.InputLength = caps.InputReportByteLength;
                entry.OutputLength = caps.OutputReportByteLength;
            }
            api.HidD_FreePreparsedData(data);
        }
        listed.push_back(entry);
    }
    return listed;
}

bool ReceiverListed(std::uint16_t product) {
    const DeviceEntry* row = std::find_if(std::begin(kDeviceTable), std::end(kDeviceTable),
                                          [&](const DeviceEntry& r) { return r.ProductID == product; });
    if (row == std::end(kDeviceTable))
        return false;
    const std::vector<ListedInterface> listed = ListedInterfaces(product);
    return std::any_of(listed.begin(), listed.end(), [&](const ListedInterface& entry) {
        return entry.InputLength == row->Reports.InputLength;
    });
}

Scenario::Scenario(const Setup& setup, std::wstring label, bool traced)
    : m_Setup(setup), m_Label(std::move(label)), m_bTraced(traced), m_Tool(setup.Tool),
      m_nLogFrom(ReadFrom(setup.ReceiverLog, 0).size()) {}

std::wstring Scenario::VersionText() {
    return FormatVersionText(kReceiverVersion);
}

void Scenario::Shot(const std::wstring& step, HWND window) {
    m_Tool.Screenshot(L"realstack-" + m_Label + L"-" + step, window);
}

// The receiver is unplugged until the system no longer lists it, as a person pulls it
// out and puts it back: Wine's HID bus does not see a device again that comes back within
// milliseconds. Under load it now and then misses one that comes back later too, and
// never lists it: the receiver is then plugged in once more. That is the platform's
// doing, before the tool starts; a scenario's own replugging is never tried again.
void Scenario::RestartReceiver(const ReceiverSetup& receiver) {
    for (int attempt = 1;; ++attempt) {
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
        if (!receiver.ListedInMode)
            return;
        const std::uint16_t product = kDeviceTable[receiver.ListedInMode - 1].ProductID;
        if (WaitFor([&] { return ReceiverListed(product); },
                    attempt == 1 ? kLookMs / 2 : kLookMs)) {
            Say(L"The system lists the receiver in mode " + std::to_wstring(receiver.ListedInMode));
            return;
        }
        Check(attempt == 1, L"the system does not list the receiver");
        Say(L"The system does not list the receiver: plugging it in once more");
    }
}

void Scenario::Begin(const ReceiverSetup& receiver) {
    RestartReceiver(receiver);
    StartTool();
}

void Scenario::StartTool() {
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

ReceiverLine Scenario::AwaitReceiverLine(const std::string& text, DWORD timeoutMs) {
    // The first line gives the Unix time the others' stamps count from.
    const std::string head = ReadFrom(m_Setup.ReceiverLog, 0).substr(0, 200);
    const char* start = strstr(head.c_str(), "since Unix time ");
    const double clock = start ? strtod(start + 16, nullptr) : 0;
    ReceiverLine found;
    WaitFor(
        [&] {
            const std::string log = ReadFrom(m_Setup.ReceiverLog, m_nLogFrom);
            const std::size_t at = log.find(text);
            const std::size_t end = at == std::string::npos ? at : log.find('\n', at);
            if (end == std::string::npos)
                return false; // not there, or not wholly written yet
            const std::size_t begin = log.rfind('\n', at) + 1; // 0 when the first line
            found.Text = log.substr(begin, end - begin);
            found.At = clock + strtod(found.Text.c_str() + 1, nullptr); // "[  12.345] ..."
            return true;
        },
        timeoutMs);
    Check(clock > 0 || found.At < 0, L"the receiver's log does not say when its clock starts");
    return found;
}

// Wine's HID bus, under load, now and then withdraws a receiver that has just come back
// and never lists it again: the tool sees it arrive, its reads fail, and the device no
// longer opens. When the look has not come in half the wait and the system no longer
// lists the receiver, it is plugged in once more, as a person would, and the look must
// come then. While the system lists the receiver, the tool has the whole wait.
void Scenario::ExpectReturned(const std::wstring& version, const std::wstring& step) {
    const std::uint16_t product = kDeviceTable[0].ProductID;
    if (!m_Tool.WaitForLook(Look::Connected, version, kLookMs / 2) && !ReceiverListed(product)) {
        Say(L"The system no longer lists the receiver that came back: plugging it in once more");
        TellReceiver("unplug");
        Sleep(kReplugPauseMs);
        TellReceiver("plug");
    }
    ExpectLook(Look::Connected, version, step);
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

std::wstring Scenario::AwaitOutcome(const std::wstring& step, DWORD timeoutMs) {
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
        timeoutMs);
    m_PromptAt = UnixNow();
    Check(outcome != nullptr, L"the update did not end with a prompt");
    const std::wstring text = ToolUnderTest::PromptText(outcome);
    Say(L"Told: " + text);
    Shot(step);
    Check(m_Tool.AnswerPrompt(outcome, IDC_BTN_OK, kStepMs), L"the prompt did not close");
    return text;
}

void Scenario::ExpectPromptSoonAfter(const std::string& logged, const std::wstring& event) {
    const ReceiverLine line = AwaitReceiverLine(logged, kStepMs);
    Check(line.At >= 0,
          L"the receiver's log does not show " + event + L" (\"" + Widen(logged) + L"\")");
    const double after = m_PromptAt - line.At;
    Say(L"The prompt came " + Seconds(after) + L" s after " + event);
    // A few milliseconds either way are the two programs' reading of one clock.
    Check(after > -0.05, L"the prompt came before " + event);
    Check(after <= kPromptAfterMs / 1000.0, L"the prompt came " + Seconds(after) + L" s after " +
                                                event + L", more than " +
                                                std::to_wstring(kPromptAfterMs / 1000) + L" s");
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
