#include "ui/mail_viewer.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <string>

#include "message/mail_message.h"
#include "platform/profile.h"

namespace qm {

namespace {

// Quoted-printable body, a display name and a Received field with a date.
const std::string kMail =
    "Received: from relay.example.net by mx.example.org; Tue, 5 Mar 2024 10:20:30 +0000\r\n"
    "From: Taro Yamada <taro@example.org>\r\n"
    "Subject: Quarterly report\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n"
    "\r\n"
    "x =3D 1 line one\r\n"
    "line two\r\n"
    ".\r\n";

CMailMessage Parsed(const std::string& text) {
  CMailMessage message;
  message.Parse(text);
  return message;
}

QString Display(const std::string& text) {
  return QString::fromStdString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

}  // namespace

class MailViewerTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir directory;
  std::unique_ptr<CProfile> profile;

  CMailViewer* Open(const std::string& text) {
    return OpenMailViewer(Parsed(text), *profile, nullptr);
  }
  // Closing deletes the viewer once the event loop runs.
  static void CloseAndWait(CMailViewer* viewer) {
    QPointer<CMailViewer> watch(viewer);
    viewer->close();
    QTRY_VERIFY(watch.isNull());
  }

 private slots:
  void init() {
    profile = std::make_unique<CProfile>(directory.filePath("viewer.ini").toStdString());
  }

  // What the fields and boxes show is the viewer model's; here, that the widgets follow it.
  void FieldsAndBoxesShowTheModel() {
    CMailViewer* viewer = Open(kMail);
    QCOMPARE(viewer->SubjectField()->text(), QStringLiteral("Quarterly report"));
    QCOMPARE(viewer->FromField()->text(), QStringLiteral("Taro Yamada"));
    QVERIFY(viewer->DateField()->text().startsWith(QStringLiteral("2024 03/0")));
    QVERIFY(viewer->BodyField()->toPlainText().startsWith(QStringLiteral("x = 1 line one\n")));
    viewer->UndecodedBox()->click();
    QVERIFY(viewer->HeaderBox()->isChecked());
    QCOMPARE(viewer->BodyField()->toPlainText(), Display(Parsed(kMail).Text()));
    viewer->HeaderBox()->click();
    QVERIFY(!viewer->UndecodedBox()->isChecked());
    QVERIFY(viewer->BodyField()->toPlainText().startsWith(QStringLiteral("x = 1")));
    CloseAndWait(viewer);
  }

  void ViewersCascadeFromSavedGeometryAndSaveOnClose() {
    QVERIFY(profile->WriteInt("Geometry", "MailView_x", 100));
    QVERIFY(profile->WriteInt("Geometry", "MailView_y", 120));
    QVERIFY(profile->WriteInt("Geometry", "MailView_w", 700));
    QVERIFY(profile->WriteInt("Geometry", "MailView_h", 500));
    QCOMPARE(CMailViewer::OpenCount(), 0);
    CMailViewer* first = Open(kMail);
    CMailViewer* second = Open(kMail);
    QCOMPARE(CMailViewer::OpenCount(), 2);
    QCOMPARE(first->pos(), QPoint(100, 120));
    QCOMPARE(second->pos(), QPoint(130, 150));
    QCOMPARE(first->size(), QSize(700, 500));
    QCOMPARE(second->size(), QSize(700, 500));

    second->resize(900, 650);
    QCOMPARE(second->size(), QSize(900, 650));
    // The text area follows the window.
    QCOMPARE(second->BodyField()->geometry().bottom() < 650, true);
    QVERIFY(second->BodyField()->width() > 800);

    CloseAndWait(second);
    QCOMPARE(CMailViewer::OpenCount(), 1);
    QCOMPARE(profile->GetInt("Geometry", "MailView_x", 0), 130);
    QCOMPARE(profile->GetInt("Geometry", "MailView_w", 0), 900);
    QCOMPARE(profile->GetInt("Geometry", "MailView_h", 0), 650);
    CloseAndWait(first);
    QCOMPARE(CMailViewer::OpenCount(), 0);
    // The last one closed decides.
    QCOMPARE(profile->GetInt("Geometry", "MailView_x", 0), 100);
    QCOMPARE(profile->GetInt("Geometry", "MailView_w", 0), 700);

    // A later viewer opens where the last one was, with no cascade left over.
    CMailViewer* third = Open(kMail);
    QCOMPARE(third->pos(), QPoint(100, 120));
    CloseAndWait(third);
  }
};

}  // namespace qm

QTEST_MAIN(qm::MailViewerTest)
#include "mail_viewer_test.moc"
