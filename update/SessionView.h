// What an update session needs from whatever shows it. The main window implements it;
// tests and the fuzzer use small stand-ins.
#pragma once

#include <string>

// Prompt styles: one button (OK, result 1) or two (OK 1, Cancel 2).
constexpr int PROMPT_OK = 0;
constexpr int PROMPT_OKCANCEL = 1;

// ISessionView is called on the thread that runs the session (a link worker). Every
// member may be called from any thread; an implementation that owns windows moves the
// work to their thread itself.
class ISessionView {
public:
    // Shows a message or question modally and returns how it was closed: 1 for OK (or
    // Enter), 2 for Cancel (or Escape, or the window being closed).
    virtual int ShowPrompt(std::wstring text, int style) = 0;
    // Lets the user choose an image file. False when the user chose none.
    virtual bool ChooseImage(std::wstring* path) = 0;
    // The progress bar's position, in percent; above 100 shows as full.
    virtual void SetProgress(int percent) = 0;
    // The receiver's firmware version as shown.
    virtual void SetVersionText(const std::wstring& text) = 0;
    virtual void EnableUpdateButton(bool enable) = 0;
    // The image is no longer being sent (Updating() of the session has become false):
    // nothing is at stake any more that closing or log-off should wait for.
    virtual void UpdateEnded() {}
    // The user has confirmed the image, and nothing has been sent yet: the last moment to
    // note that an update is under way, before the receiver holds part of an image.
    virtual void UpdateConfirmed() {}

protected:
    ~ISessionView() = default;
};
