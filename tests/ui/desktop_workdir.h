// The scratch working directory that desktop tests build their windows on: made current (the
// mailbox files are named relative to it), with the settings, the mailbox set, the seam and the
// sender lists.
#pragma once

#include <QDir>
#include <QString>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "app/settings.h"
#include "classify/sender_lists.h"
#include "mailboxes/mailbox_set.h"
#include "platform/profile.h"
#include "recorded_answers.h"
#include "ui/notify_wnd.h"
#include "ui/qt_ui.h"

namespace qm {

// Records the sounds the notification and the options dialog would play.
class CRecordingPlayer : public ISoundPlayer {
 public:
  void Play(NotifySound sound, const std::string& file) override {
    played.emplace_back(sound, file);
  }
  std::vector<std::pair<NotifySound, std::string>> played;
};

class CDesktopWorkdir {
 protected:
  void OpenWorkdir() {
    previous = QDir::currentPath();
    directory = std::make_unique<QTemporaryDir>();
    QDir::setCurrent(directory->path());
    profile = std::make_unique<CProfile>("qm_mailfilter.ini");
    settings = std::make_unique<CSettings>(directory->path().toStdString());
    set = std::make_unique<CMailboxSet>(*profile);
    ui = std::make_unique<CQtUi>();
    answers = {};
    answers.Install(*ui);
  }
  // After the windows built on it are gone.
  void CloseWorkdir() {
    ui.reset();
    set.reset();
    settings.reset();
    profile.reset();
    QDir::setCurrent(previous);
    // Qt cannot name files whose names are not UTF-8, as code-page-932 mailbox names give.
    std::error_code ignored;
    std::filesystem::remove_all(directory->path().toStdString(), ignored);
    directory.reset();
  }

  std::unique_ptr<QTemporaryDir> directory;
  QString previous;
  std::unique_ptr<CProfile> profile;
  std::unique_ptr<CSettings> settings;
  std::unique_ptr<CMailboxSet> set;
  std::unique_ptr<CQtUi> ui;
  // Every message box of the test, answered from the queue.
  CRecordedAnswers answers;
  CSenderLists lists;
};

template <class Test>
int RunTest(int argc, char** argv) {
  Test test;
  return QTest::qExec(&test, argc, argv);
}

// Runs several QtTest classes in one program, in the order given; the count of failures is the
// exit status.
template <class... Tests>
int RunTests(int argc, char** argv) {
  int failed = 0;
  ((failed += RunTest<Tests>(argc, argv)), ...);
  return failed;
}

}  // namespace qm
