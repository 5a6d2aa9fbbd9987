#include "ui/desktop.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "cli/command_line.h"

namespace qm {

class DesktopTest : public QObject {
  Q_OBJECT

 private slots:
  void OnlyTheBareProgramOpensTheWindow() {
    QTemporaryDir directory;
    const std::string path = directory.path().toStdString();
    int opened = 0;
    const auto desktop = [&opened] {
      ++opened;
      return 7;
    };
    std::ostringstream out;
    std::ostringstream err;

    const char* bare[] = {"qm_mailfilter"};
    QCOMPARE(RunCommandLine(1, bare, out, err, desktop), 7);
    const char* inDirectory[] = {"qm_mailfilter", "--workdir", path.c_str()};
    QCOMPARE(RunCommandLine(3, inDirectory, out, err, desktop), 7);
    QCOMPARE(QDir::currentPath(), directory.path());
    const char* command[] = {"qm_mailfilter", "--workdir", path.c_str(), "mailbox", "list"};
    QCOMPARE(RunCommandLine(5, command, out, err, desktop), 0);
    QCOMPARE(opened, 2);

    // A build without the window prints the help, as before.
    out.str("");
    QCOMPARE(RunCommandLine(1, bare, out, err), 0);
    QVERIFY(out.str().find("--headless") != std::string::npos);
  }

  void WithoutADisplayTheHeadlessModeIsNamed() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) unsetenv(name);
    std::ostringstream err;
    std::streambuf* saved = std::cerr.rdbuf(err.rdbuf());
    char program[] = "qm_mailfilter";
    char* argv[] = {program, nullptr};
    const int status = RunDesktop(1, argv);
    std::cerr.rdbuf(saved);
    QCOMPARE(status, 1);
    QCOMPARE(err.str(), std::string(kNoDisplay) + "\n");
    QCOMPARE(err.str(), std::string("qm_mailfilter: no display; run qm_mailfilter --headless for "
                                    "the filter without a window\n"));
  }
};

}  // namespace qm

// No QApplication: the desktop must give up before it would need one.
QTEST_APPLESS_MAIN(qm::DesktopTest)
#include "desktop_test.moc"
