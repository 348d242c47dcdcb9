// A stand-in for the main window as an update session sees it: it records what the
// session shows and answers the chooser and the prompts from a script, at once, on the
// session's own thread.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "update/SessionView.h"

namespace kxtest {

class FakeSessionView final : public ISessionView {
public:
    struct Prompt {
        std::wstring Text;
        int Style;
    };

    // The path the chooser returns; empty: the user closes it.
    std::wstring ChosenPath;
    // Answers to the prompts in order (1 OK, 2 Cancel); 1 once they run out.
    std::deque<int> Answers;
    // Called while a prompt is open, before it is answered (e.g. to change the file).
    std::function<void(const Prompt&)> WhilePromptOpen;
    // Called while the chooser is open.
    std::function<void()> WhileChooserOpen;

    std::vector<Prompt> Prompts;
    std::vector<int> Progress;
    std::vector<std::wstring> VersionTexts;
    std::vector<bool> ButtonStates;
    int Choices = 0;

    int ShowPrompt(std::wstring text, int style) override {
        Prompts.push_back({std::move(text), style});
        if (WhilePromptOpen)
            WhilePromptOpen(Prompts.back());
        if (Answers.empty())
            return 1;
        const int answer = Answers.front();
        Answers.pop_front();
        return answer;
    }
    bool ChooseImage(std::wstring* path) override {
        ++Choices;
        if (WhileChooserOpen)
            WhileChooserOpen();
        *path = ChosenPath;
        return !path->empty();
    }
    void SetProgress(int percent) override { Progress.push_back(percent); }
    void SetVersionText(const std::wstring& text) override { VersionTexts.push_back(text); }
    void EnableUpdateButton(bool enable) override { ButtonStates.push_back(enable); }

    std::wstring LastPrompt() const {
        return Prompts.empty() ? std::wstring() : Prompts.back().Text;
    }
};

} // namespace kxtest
