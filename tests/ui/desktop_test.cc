#include "ui/desktop.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <iostream>
#include <sstream>

#include "cli/command_line.h"

namespace qm {

class DesktopTest : public QObject {
  Q_OBJECT

 private slots:
  // Only the bare program, in whatever working directory, opens the window; a build without one
  // prints the help.
  void OnlyTheBareProgramOpensTheWindow() {
    QTemporaryDir directory;
    const std::string path = directory.path().toStdString();
    int opened = 0;
    const auto desktop = [&opened] { return ++opened + 6; };
    std::ostringstream out, err;
    const char* bare[] = {"qm_mailfilter", "--workdir", path.c_str(), "mailbox", "list"};
    QCOMPARE(RunCommandLine(1, bare, out, err, desktop) +
                 RunCommandLine(3, bare, out, err, desktop) +
                 RunCommandLine(5, bare, out, err, desktop),
             7 + 8);
    QCOMPARE(QDir::currentPath(), directory.path());
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
    QCOMPARE(std::to_string(status) + err.str(),
             "1qm_mailfilter: no display; run qm_mailfilter --headless for the filter without a "
             "window\n");
  }
};

}  // namespace qm

// No QApplication: the desktop must give up before it would need one.
QTEST_APPLESS_MAIN(qm::DesktopTest)
#include "desktop_test.moc"
