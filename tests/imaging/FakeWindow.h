// The two window operations a slot load needs, scripted for tests without a screen.
#pragma once

#include "toolkit/Toolkit.h"

#include <optional>
#include <string>
#include <vector>

namespace korvalis::testing {

class TScriptedDialog : public IOpenDialog {
  public:
    // Answers each queued answer once, then cancels.
    void Queue(std::optional<std::string> answer) { FAnswers.push_back(std::move(answer)); }
    std::optional<std::string> Execute() override {
        ++Runs;
        if (FAnswers.empty())
            return std::nullopt;
        std::optional<std::string> answer = FAnswers.front();
        FAnswers.erase(FAnswers.begin());
        return answer;
    }
    int Runs = 0;

  private:
    std::vector<std::optional<std::string>> FAnswers;
};

class TRecordingStatus : public IStatusPanel {
  public:
    void SetText(const std::string& text) override {
        FText = text;
        Texts.push_back(text);
    }
    std::string Text() const override { return FText; }
    std::vector<std::string> Texts;

  private:
    std::string FText;
};

} // namespace korvalis::testing
