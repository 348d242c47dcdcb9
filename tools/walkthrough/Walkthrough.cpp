// The headless walk-through of ./run: starts the simulated-receiver build of the tool
// and uses it as a person would, through its real window: waits for the connected look
// and the receiver's version, presses Update, chooses the image in the real file
// chooser, confirms, follows the progress bar to the end, dismisses the success prompt,
// and waits for the rebooted receiver's new version. Prints each step, saves a
// screenshot per step, and succeeds only if the receiver got the file byte for byte and
// the update's record in the history carries the file's SHA-256. Prints that record.
//
//   KestrixWalkthrough.exe <KestrixUpdaterSim.exe> <image.dat> <output folder>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include <commctrl.h>

#include "res/resource.h"
#include "sim/WholeFile.h"
#include "support/WinTest.h"
#include "KestrixVersion.h"
#include "update/FirmwareImage.h"
#include "update/UpdateHistory.h"

namespace {

using kxtest::WaitFor;

constexpr DWORD kStepTimeoutMs = 30000;

std::wstring g_OutDir;
int g_Step = 0;
HWND g_hMain = nullptr;

void Say(const std::wstring& text) {
    wprintf(L"%ls\n", text.c_str());
    fflush(stdout);
}

// Saves what a window (the main window unless said) shows as the next step's picture.
void Screenshot(const std::wstring& name, HWND window = nullptr) {
    const kxtest::Pixels px = kxtest::CaptureWindow(window ? window : g_hMain);
    wchar_t file[32];
    swprintf(file, 32, L"%02d-", ++g_Step);
    px.SaveBmp(g_OutDir + L"\\" + file + name + L".bmp");
}

// The prompt over the main window (it has the prompt's text control), or the file
// chooser (any other window the main window owns).
HWND OwnedWindow(bool prompt) {
    return kxtest::FindOwnedWindow(g_hMain, [prompt](HWND hwnd) {
        return (GetDlgItem(hwnd, IDC_PROMPT_TEXT) != nullptr) == prompt;
    });
}

HWND WaitForOwned(bool prompt) {
    HWND found = nullptr;
    WaitFor([&] { return (found = OwnedWindow(prompt)) != nullptr; }, kStepTimeoutMs);
    return found;
}

// Waits until a freshly shown window has been painted: its pixels have not changed
// for 400 ms (the file chooser fills its list and draws its controls over a while).
void LetItPaint(HWND window = nullptr) {
    kxtest::Pixels last;
    ULONGLONG changed = GetTickCount64();
    WaitFor(
        [&] {
            kxtest::Pixels now = kxtest::CaptureWindow(window ? window : g_hMain);
            if (now.data != last.data) {
                changed = GetTickCount64();
                last = std::move(now);
            }
            return GetTickCount64() - changed >= 400;
        },
        5000);
}

std::wstring ControlText(int id) {
    return kxtest::WindowText(GetDlgItem(g_hMain, id));
}

int Fail(const std::wstring& what, HANDLE process) {
    Say(L"FAILED: " + what);
    if (process)
        TerminateProcess(process, 1);
    return 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        fwprintf(stderr, L"usage: KestrixWalkthrough <KestrixUpdaterSim.exe> <image.dat> <out>\n");
        return 2;
    }
    const std::wstring simExe = argv[1], image = argv[2];
    g_OutDir = argv[3];
    CreateDirectoryW(g_OutDir.c_str(), nullptr);
    const std::wstring received = g_OutDir + L"\\received.dat";
    DeleteFileW(received.c_str());

    FirmwareImage firmware;
    if (LoadFirmwareImage(image, &firmware) != ImageCheck::Ok)
        return Fail(L"the image " + image + L" cannot be read whole", nullptr);
    const std::wstring newVersion = FormatVersionText(firmware.Header.VersionWord);

    Say(L"Starting the tool with a simulated receiver plugged in");
    std::wstring command = L"\"" + simExe + L"\" --received \"" + received + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                        &pi))
        return Fail(L"cannot start " + simExe, nullptr);
    CloseHandle(pi.hThread);
    HANDLE process = pi.hProcess;

    g_hMain = kxtest::WaitForTopWindow(L"Kestrix OV Tools V" KX_VERSION_SHORT_W, nullptr, 0,
                                       kStepTimeoutMs);
    if (!g_hMain)
        return Fail(L"the main window did not appear", process);
    LetItPaint();
    Screenshot(L"start");

    if (!WaitFor([] { return !ControlText(IDC_VERSION).empty(); }, kStepTimeoutMs))
        return Fail(L"the receiver's version was not shown", process);
    LetItPaint();
    Say(L"Connected: the receiver runs firmware " + ControlText(IDC_VERSION));
    Screenshot(L"connected");

    Say(L"Pressing Update");
    kxtest::ClickControl(g_hMain, IDC_BTN_UPDATE);
    HWND chooser = WaitForOwned(false);
    if (!chooser)
        return Fail(L"the file chooser did not open", process);
    LetItPaint(chooser);
    Screenshot(L"file-chooser", chooser);
    Say(L"Choosing " + image);
    for (int id : {0x047C, 0x0480})
        if (HWND box = GetDlgItem(chooser, id))
            SendMessageW(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(image.c_str()));
    PostMessageW(chooser, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);

    HWND confirm = WaitForOwned(true);
    if (!confirm)
        return Fail(L"no confirmation was asked", process);
    LetItPaint();
    Say(L"Asked: " + kxtest::WindowText(GetDlgItem(confirm, IDC_PROMPT_TEXT)) + L"  -> OK");
    Screenshot(L"confirm");
    kxtest::ClickControl(confirm, IDC_BTN_OK);
    WaitFor([&] { return !IsWindow(confirm); }, kStepTimeoutMs);

    // Follow the progress bar until the success prompt comes.
    int reported = -1;
    bool halfwayShot = false;
    HWND outcome = nullptr;
    WaitFor(
        [&] {
            const int pos =
                static_cast<int>(SendMessageW(GetDlgItem(g_hMain, IDC_PROGRESS), PBM_GETPOS, 0, 0));
            if (pos / 25 > reported / 25 && pos > 0) {
                reported = pos;
                Say(L"Progress " + std::to_wstring(pos) + L" %");
            }
            if (pos >= 50 && !halfwayShot) {
                halfwayShot = true;
                Screenshot(L"progress");
            }
            outcome = OwnedWindow(true);
            return outcome != nullptr;
        },
        10 * kStepTimeoutMs);
    if (!outcome)
        return Fail(L"the update did not end", process);
    LetItPaint();
    const std::wstring outcomeText = kxtest::WindowText(GetDlgItem(outcome, IDC_PROMPT_TEXT));
    Say(L"Told: " + outcomeText + L"  -> OK");
    Screenshot(L"outcome");
    kxtest::ClickControl(outcome, IDC_BTN_OK);
    if (outcomeText != L"Firmware upgraded successful!")
        return Fail(L"the update did not succeed", process);

    Say(L"Waiting for the receiver to reboot with " + newVersion);
    if (!WaitFor([&] { return ControlText(IDC_VERSION) == newVersion; }, kStepTimeoutMs))
        return Fail(L"the receiver did not come back with the new version", process);
    LetItPaint();
    Say(L"The receiver now runs firmware " + newVersion);
    Screenshot(L"new-version");

    Say(L"Closing the tool");
    kxtest::ClickControl(g_hMain, IDC_BTN_CLOSE);
    if (WaitForSingleObject(process, kStepTimeoutMs) != WAIT_OBJECT_0)
        return Fail(L"the tool did not close", process);
    CloseHandle(process);

    std::vector<std::uint8_t> sent, got;
    if (ReadWholeFile(image, &sent) || ReadWholeFile(received, &got) || sent != got)
        return Fail(L"the image the receiver received differs from " + image, nullptr);
    Say(L"The receiver received the image byte for byte (" + std::to_wstring(sent.size()) +
        L" bytes)");

    // The update's record in the history, as support would get it: its checksum is the
    // file's own, since the file holds exactly its header and data.
    std::vector<std::uint8_t> history;
    ReadWholeFile(UpdateHistoryPath(), &history);
    const std::string text(history.begin(), history.end());
    const std::size_t last = text.rfind("Kestrix OV Tools update at ");
    if (last == std::string::npos)
        return Fail(L"no record in the history " + UpdateHistoryPath(), nullptr);
    const std::string record = text.substr(last);
    Say(L"The update's record in " + UpdateHistoryPath() + L":");
    printf("%s", record.c_str());
    const std::wstring hash = Sha256Hex({{sent.data(), sent.size()}});
    if (hash.empty() || record.find(std::string(hash.begin(), hash.end()) +
                                    " (header and data sent)") == std::string::npos)
        return Fail(L"the record's SHA-256 is not the image's, " + hash, nullptr);
    Say(L"Its SHA-256 is the image file's: " + hash);
    return 0;
}
