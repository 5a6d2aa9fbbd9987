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
  // The bare program, in whatever working directory, opens the window; a command never does, and
  // a build without a window prints the help. Without a display it names the headless mode.
  void OnlyTheBareProgramOpensTheWindowAndOnlyWithADisplay() {
    QTemporaryDir directory;
    const std::string path = directory.path().toStdString();
    const char* argv[] = {"qm_mailfilter", "--workdir", path.c_str(), "mailbox", "list"};
    std::ostringstream out, err;
    std::string opened;
    for (const int n : {1, 3, 5})
      RunCommandLine(n, argv, out, err, [&] { return opened += char('0' + n), 0; });
    QVERIFY(opened == "13" && QDir::currentPath() == directory.path() &&
            RunCommandLine(1, argv, out, err) == 0);
    QVERIFY(out.str().find("--headless") != std::string::npos);
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) unsetenv(name);
    std::streambuf* saved = std::cerr.rdbuf(err.rdbuf());
    err.str("");
    char* bare[] = {const_cast<char*>(argv[0]), nullptr};
    const int status = RunDesktop(1, bare);
    std::cerr.rdbuf(saved);
    QCOMPARE(std::to_string(status) + err.str(),
             "1qm_mailfilter: no display; run qm_mailfilter --headless for the filter without a "
             "window\n");
  }
};

}  // namespace qm

QTEST_APPLESS_MAIN(qm::DesktopTest)  // no QApplication: the desktop gives up before it needs one
#include "desktop_test.moc"
