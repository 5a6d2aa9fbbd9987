// Answers the message boxes of desktop tests: records every text shown or asked, in order, and
// answers questions from a queue (the box's default answer when it is empty).
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "ui/qt_ui.h"

namespace qm {

struct CRecordedAnswers {
  void Install(CQtUi& ui) {
    ui.SetAnswerer([this](std::string_view text, Buttons shownButtons, Answer defaultAnswer) {
      texts.emplace_back(text);
      buttons.push_back(shownButtons);
      if (queue.empty()) return defaultAnswer;
      const Answer answer = queue.front();
      queue.pop_front();
      return answer;
    });
  }

  std::vector<std::string> texts;
  std::vector<Buttons> buttons;
  std::deque<Answer> queue;
};

}  // namespace qm
