// The shipped tool in a process of its own, used the way a person uses it.
#pragma once

#include <windows.h>

#include <string>

#include "link/UniqueKernelHandle.h"
#include "support/WinTest.h"

// ToolUnderTest starts KestrixUpdater.exe, finds its window by its title, and works it
// with the real mouse and the platform's real file chooser. It reads what the window
// shows (the device panel's picture, the version text, the update button, the progress
// bar and the prompts) and leaves every judgement to the caller. Every wait has a
// time-out. A tool still running when the object goes is ended.
class ToolUnderTest {
public:
    explicit ToolUnderTest(std::wstring exe) : m_Exe(std::move(exe)) {}
    ~ToolUnderTest();
    ToolUnderTest(const ToolUnderTest&) = delete;
    ToolUnderTest& operator=(const ToolUnderTest&) = delete;

    // Starts the tool and waits for its window; false when either fails.
    bool Start(DWORD timeoutMs);
    HWND Window() const { return m_hWnd; }

    enum class Look { Connected, NotConnected };
    // Waits until the window shows this look: the device panel's picture, the update
    // button enabled (connected) or disabled (not), and the version text (versionText
    // when connected, none when not).
    bool WaitForLook(Look look, const std::wstring& versionText, DWORD timeoutMs);
    std::wstring VersionText() const;
    bool UpdateButtonEnabled() const;
    int ProgressPos() const;

    void ClickUpdate();
    // The file chooser or a prompt over the window, once it has come; null on time-out.
    HWND WaitForChooser(DWORD timeoutMs) const;
    HWND WaitForPrompt(DWORD timeoutMs) const;
    HWND CurrentPrompt() const;
    static std::wstring PromptText(HWND prompt);
    // Clicks a prompt's button (IDC_BTN_OK or IDC_BTN_CANCEL); AnswerPrompt also waits
    // for the prompt to go.
    void ClickPromptButton(HWND prompt, int buttonId);
    bool AnswerPrompt(HWND prompt, int buttonId, DWORD timeoutMs);

    // Whether the window's thread answers a message within the time-out.
    bool Responds(DWORD timeoutMs) const;
    void ClickClose();
    // Whether the tool's process has ended.
    bool Exited() const;

    // Saves what the window (or another window) shows, once it has stopped changing.
    void Screenshot(const std::wstring& name, HWND window = nullptr) const;

private:
    // What a window shows once it has stopped changing (drawn, filled in).
    static kxtest::Pixels Settled(HWND window);

    std::wstring m_Exe;
    UniqueKernelHandle m_Process;
    DWORD m_nProcessId = 0;
    HWND m_hWnd = nullptr;
};
