// Shared by the desktop tests: message boxes answered and recorded through the seam, and a scratch
// working directory made current (mailbox files are named relative to it).
#pragma once

#include <QAbstractItemModel>
#include <QDir>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/settings.h"
#include "classify/sender_lists.h"
#include "mailboxes/mailbox_set.h"
#include "message/mail_message.h"
#include "ui/notify_wnd.h"
#include "ui/qt_ui.h"

namespace qm {

// Records every text shown or asked; answers from the queue, else with the box's default.
struct CRecordedAnswers {
  void Install(CQtUi& ui) {
    ui.SetAnswerer([this](std::string_view text, Buttons, Answer standard) {
      texts.emplace_back(text);
      if (queue.empty()) return standard;
      const Answer answer = queue.front();
      queue.pop_front();
      return answer;
    });
  }
  std::vector<std::string> texts;
  std::deque<Answer> queue;
};

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

// Replaces the field's text key by key, as the user would.
inline void Type(QLineEdit* field, const QString& text) {
  field->selectAll();
  QTest::keyClick(field, Qt::Key_Backspace);
  QTest::keyClicks(field, text);
}

template <class Widget>
Widget* Child(const QWidget& parent, const char* name) {
  auto* widget = parent.findChild<Widget*>(QString::fromLatin1(name));
  if (widget == nullptr) qFatal("no control %s", name);
  return widget;
}

inline CMailMessage Mail(const std::string& subject, int verdict = 0) {
  CMailMessage message;
  message.Parse("From: " + subject + "@example.org\r\nSubject: " + subject +
                "\r\n\r\nbody\r\n.\r\n");
  message.mark.SetClassification(verdict, 0);
  return message;
}

inline QStringList Column(const QAbstractItemModel& model, int column) {
  QStringList texts;
  for (int row = 0; row < model.rowCount(); ++row)
    texts << model.index(row, column).data().toString();
  return texts;
}

class CDesktopWorkdir {
 protected:
  void OpenWorkdir() {
    previous = QDir::currentPath();
    directory = std::make_unique<QTemporaryDir>();
    QDir::setCurrent(directory->path());
    settings = std::make_unique<CSettings>(directory->path().toStdString());
    set = std::make_unique<CMailboxSet>(settings->Profile());
    ui = std::make_unique<CQtUi>();
    answers = {};
    answers.Install(*ui);
  }
  // After the windows built on it are gone.
  void CloseWorkdir() {
    ui.reset();
    set.reset();
    settings.reset();
    QDir::setCurrent(previous);
    // Qt cannot remove files whose names are not UTF-8, as code-page-932 mailbox names give.
    std::error_code ignored;
    std::filesystem::remove_all(directory->path().toStdString(), ignored);
  }
  CMailbox& AddMailbox(const std::string& name, const std::vector<std::string>& subjects = {}) {
    const int index = set->Add(name);
    if (index < 0) qFatal("no mailbox %s", name.c_str());
    for (const std::string& subject : subjects) {
      CMailMessage message = Mail(subject);
      if (set->Get(index)->AppendMessage(message) <= 0) qFatal("not stored");
    }
    return *set->Get(index);
  }

  std::unique_ptr<QTemporaryDir> directory;
  QString previous;
  std::unique_ptr<CSettings> settings;
  std::unique_ptr<CMailboxSet> set;
  std::unique_ptr<CQtUi> ui;
  CRecordedAnswers answers;
  CSenderLists lists;
};

// Runs QtTest classes in one program, in order; the count of failures is the exit status.
template <class Test>
int RunTest(int argc, char** argv) {
  Test test;
  return QTest::qExec(&test, argc, argv);
}
template <class... Tests>
int RunTests(int argc, char** argv) {
  return (RunTest<Tests>(argc, argv) + ...);
}

}  // namespace qm
