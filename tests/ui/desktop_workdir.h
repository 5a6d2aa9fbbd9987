// Shared by the desktop tests: a scratch working directory made current (mailbox files are named
// relative to it) whose message boxes are recorded and answered from a queue, else by default.
#pragma once

#include <QAbstractItemModel>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <deque>
#include <filesystem>
#include <memory>
#include <ranges>
#include <string>
#include <vector>

#include "app/settings.h"
#include "classify/sender_lists.h"
#include "mailboxes/mailbox_set.h"
#include "ui/notify_wnd.h"
#include "ui/qt_ui.h"

namespace qm {

struct CRecordingPlayer : ISoundPlayer {
  void Play(NotifySound sound, const std::string& file) override {
    played.emplace_back(sound, file);
  }
  std::vector<std::pair<NotifySound, std::string>> played;
};

inline void ShowExposed(QWidget& widget) {
  widget.show();
  if (!QTest::qWaitForWindowExposed(&widget)) qFatal("not exposed");
}

template <class Widget>
Widget* Child(const QWidget& parent, const char* name) {
  auto* widget = parent.findChild<Widget*>(QString::fromLatin1(name));
  if (widget == nullptr) qFatal("no control %s", name);
  return widget;
}

inline QStringList Column(const QAbstractItemModel& model, int column) {
  QStringList texts;
  for (int row = 0; row < model.rowCount(); ++row)
    texts << model.index(row, column).data().toString();
  return texts;
}

inline CMailMessage Mail(const std::string& subject, int verdict = 0) {
  CMailMessage message;
  message.Parse("From: " + subject + "@example.org\r\nSubject: " + subject +
                "\r\n\r\nbody\r\n.\r\n");
  message.mark.SetClassification(verdict, 0);
  return message;
}

class CDesktopWorkdir {
 protected:
  void OpenWorkdir() {
    directory = std::make_unique<QTemporaryDir>();
    QDir::setCurrent(directory->path());
    settings = std::make_unique<CSettings>(directory->path().toStdString());
    set = std::make_unique<CMailboxSet>(settings->Profile());
    ui = std::make_unique<CQtUi>();
    told.clear();
    ui->SetAnswerer([this](std::string_view text, Buttons, Answer standard) {
      told.emplace_back(text);
      if (answers.empty()) return standard;
      const Answer answer = answers.front();
      answers.pop_front();
      return answer;
    });
  }
  // After the windows built on it are gone. Qt cannot remove the files of a code-page-932 name.
  void CloseWorkdir() {
    ui.reset();
    set.reset();
    settings.reset();
    std::error_code ignored;
    std::filesystem::remove_all(directory->path().toStdString(), ignored);
  }
  CMailbox& AddMailbox(const std::string& name, const std::vector<std::string>& subjects = {}) {
    const int index = set->Add(name);
    for (CMailMessage message : subjects | std::views::transform([](auto& s) { return Mail(s); })) {
      if (index < 0 || set->Get(index)->AppendMessage(message) <= 0) qFatal("not stored");
    }
    return *set->Get(index);
  }

  std::unique_ptr<QTemporaryDir> directory;
  std::unique_ptr<CSettings> settings;
  std::unique_ptr<CMailboxSet> set;
  std::unique_ptr<CQtUi> ui;
  std::vector<std::string> told;
  std::deque<Answer> answers;
  CSenderLists lists;
};

}  // namespace qm
