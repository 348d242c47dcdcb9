// Runs the tool's main window against the simulated receiver, on a thread of its own,
// and drives it the way a user would: the update button, the file chooser, the prompts.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "framework/Afx.h"
#include "link/DeviceSeam.h"
#include "sim/SimReceiver.h"
#include "support/WinTest.h"

class CUpdateDlg;

namespace kxtest {

// Writes an image file: the header (version word, data length) and `dataBytes` bytes of
// data made from `seed`. Returns the file's bytes.
std::vector<std::uint8_t> WriteImage(const std::wstring& path, std::uint32_t versionWord,
                                     std::uint32_t dataLength, std::uint32_t dataBytes,
                                     std::uint32_t seed = 1);

// A file path in the test's own temporary folder.
std::wstring TempPath(const std::wstring& name);

// Windows the tool opens over its main window: its prompt, and the platform's file
// chooser.
bool IsPromptWindow(HWND hwnd);
bool IsFileChooser(HWND hwnd);

// Waits until a main window (of this process or another) shows the not-connected look:
// the receiver-absent picture and the greyed update button at their places on the skin.
// Saves what it last saw as a screenshot of this name.
bool ShowsNotConnectedLook(HWND window, const std::wstring& screenshot);

class MainWindowHarness {
public:
    // Makes the window to run, on the window's own thread; a derived window may watch
    // what the session shows. Null: a plain CUpdateDlg.
    using WindowFactory = std::function<std::unique_ptr<CUpdateDlg>()>;

    explicit MainWindowHarness(WindowFactory makeWindow = nullptr);
    ~MainWindowHarness();

    SimReceiver sim; // configure before Start
    std::wstring historyPath; // the window's update history, when set before Start

    // Creates and runs the main window on its own thread; returns its handle once it
    // has initialised (null on failure).
    HWND Start();
    // Closes the window as the system's close command would and waits for the run to end.
    void Close();
    // Waits for the window's run to end (after something closed it).
    bool WaitClosed(DWORD timeoutMs = 5000);
    INT_PTR Result() const { return m_Result; }

    HWND Window() const { return m_hWnd; }
    // The window object; it outlives the window's run, to the harness's end, so asking it
    // stays safe while the window closes.
    CUpdateDlg* Dialog() const { return m_pDialog; }
    HWND Control(int id) const { return GetDlgItem(m_hWnd, id); }

    // The prompt currently shown over the window (visible), or null; waits for one.
    HWND WaitForPrompt(DWORD timeoutMs = 5000) const;
    HWND CurrentPrompt() const;
    std::wstring PromptText(HWND prompt) const;
    // Waits for a prompt, checks nothing, clicks the button with this id (124 OK, 127
    // Cancel). Returns the prompt's text, empty when no prompt came.
    std::wstring AnswerPrompt(int buttonId, DWORD timeoutMs = 5000);

    // Captures the window once the prompt over it has been painted (its panel and its
    // text showing).
    Pixels CaptureWithPrompt() const;

    // The platform's file chooser opened over the window; waits for it.
    HWND WaitForChooser(DWORD timeoutMs = 5000) const;
    // Types a path into the chooser and presses its Open button.
    static void ChooseFile(HWND chooser, const std::wstring& path);
    static void CancelChooser(HWND chooser);
    // What the user answers next once Update has been pressed: the chooser, or, with an
    // image path, the confirmation that comes once it has been chosen (null when the
    // window does not come).
    HWND ChooserOrConfirmation(const std::wstring& image = L"") const;

    // Clicks the update button as the keyboard interface would.
    void ClickUpdate();
    bool UpdateButtonEnabled() const;
    int ProgressPos() const;
    std::wstring VersionText() const;

    // Frames the receiver wrote to, as the frames (count byte stripped), of every
    // report accepted since the last ClearWrites.
    std::vector<std::vector<std::uint8_t>> FramesWritten() const;
    // How many of those frames are FRAME_LINK frames with this sub-code.
    int LinkFramesWritten(std::uint8_t sub) const;

private:
    ScopedDeviceApi m_Seam;
    std::thread m_UiThread;
    std::atomic<HWND> m_hWnd{nullptr};
    std::atomic<CUpdateDlg*> m_pDialog{nullptr};
    std::atomic<bool> m_bEnded{false};
    std::atomic<INT_PTR> m_Result{0};
    WindowFactory m_MakeWindow;
    std::unique_ptr<CUpdateDlg> m_pWindow; // made and run on the window's thread
};

} // namespace kxtest
