#include "ui/mail_viewer.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <string>

#include "message/mail_message.h"
#include "platform/profile.h"
#include "ui/about_dialog.h"

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

  void FieldsAndCheckBoxRules() {
    CMailViewer* viewer = Open(kMail);
    QCOMPARE(viewer->windowTitle(), QStringLiteral("メールビュー"));
    QVERIFY(!viewer->isModal());
    QCOMPARE(viewer->SubjectField()->text(), QStringLiteral("Quarterly report"));
    QCOMPARE(viewer->FromField()->text(), QStringLiteral("Taro Yamada"));
    QVERIFY(viewer->DateField()->text().startsWith(QStringLiteral("2024 03/0")));
    QVERIFY(viewer->SubjectField()->isReadOnly() && viewer->FromField()->isReadOnly() &&
            viewer->DateField()->isReadOnly() && viewer->BodyField()->isReadOnly());
    QVERIFY(!viewer->HeaderBox()->isChecked());
    QVERIFY(!viewer->UndecodedBox()->isChecked());
    const QString decoded = viewer->BodyField()->toPlainText();
    QVERIFY(decoded.startsWith(QStringLiteral("x = 1 line one\nline two")));
    QVERIFY(!decoded.contains(QStringLiteral("Subject:")));

    viewer->HeaderBox()->click();
    QVERIFY(viewer->HeaderBox()->isChecked());
    QString body = viewer->BodyField()->toPlainText();
    QVERIFY(body.startsWith(QStringLiteral("Received: from relay.example.net")));
    QVERIFY(body.contains(QStringLiteral("Subject: Quarterly report\n")));
    QVERIFY(body.endsWith(decoded));

    // Undecoded implies the header, and shows the stored text itself.
    viewer->HeaderBox()->click();
    viewer->UndecodedBox()->click();
    QVERIFY(viewer->HeaderBox()->isChecked());
    QVERIFY(viewer->UndecodedBox()->isChecked());
    QCOMPARE(viewer->BodyField()->toPlainText(), Display(Parsed(kMail).Text()));
    QVERIFY(viewer->BodyField()->toPlainText().contains(QStringLiteral("x =3D 1")));

    // The header box clears the undecoded one.
    viewer->HeaderBox()->click();
    QVERIFY(!viewer->HeaderBox()->isChecked());
    QVERIFY(!viewer->UndecodedBox()->isChecked());
    QCOMPARE(viewer->BodyField()->toPlainText(), decoded);

    // Clearing undecoded goes back to header and decoded text; the header box stays as it is.
    viewer->UndecodedBox()->click();
    viewer->UndecodedBox()->click();
    QVERIFY(viewer->HeaderBox()->isChecked());
    QVERIFY(!viewer->UndecodedBox()->isChecked());
    QCOMPARE(viewer->BodyField()->toPlainText(), body);
    CloseAndWait(viewer);
  }

  void MailWithoutTextOpensEmpty() {
    CMailViewer* viewer = OpenMailViewer(CMailMessage(), *profile, nullptr);
    QVERIFY(viewer->SubjectField()->text().isEmpty());
    QVERIFY(viewer->FromField()->text().isEmpty());
    QVERIFY(viewer->DateField()->text().isEmpty());
    QVERIFY(viewer->BodyField()->toPlainText().isEmpty());
    viewer->UndecodedBox()->click();
    QVERIFY(viewer->BodyField()->toPlainText().isEmpty());
    CloseAndWait(viewer);
  }

  void Cp932TextWithStrayByteShowsReplacement() {
    // "日本" in code page 932, then a byte that starts no character.
    CMailViewer* viewer =
        Open("From: taro@example.org\r\nSubject: \x93\xfa\x96\x7b\xff\r\n\r\n\x93\xfa\r\n.\r\n");
    QCOMPARE(viewer->SubjectField()->text(), QStringLiteral("日本\uFFFD"));
    QCOMPARE(viewer->FromField()->text(), QStringLiteral("taro@example.org"));
    QVERIFY(viewer->BodyField()->toPlainText().startsWith(QStringLiteral("日")));
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

    // The viewer can grow but never shrink below its designed size.
    const QSize least = second->minimumSize();
    QVERIFY(least.width() > 0 && least.height() > 0);
    second->resize(least.width() - 50, least.height() - 50);
    QVERIFY(second->width() >= least.width() && second->height() >= least.height());
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

  void AboutDialogTitleAndVersion() {
    CAboutDialog about;
    QCOMPARE(about.windowTitle(), QStringLiteral("Quillmoor Mail Filter バージョン情報"));
    QVERIFY(QRegularExpression(QStringLiteral("^Version \\d+\\.\\d+(\\.\\d+)*$"))
                .match(about.VersionLabel()->text())
                .hasMatch());
    bool pictureShown = false;
    for (const QLabel* label : about.findChildren<QLabel*>()) {
      if (!label->pixmap().isNull()) pictureShown = true;
    }
    QVERIFY(pictureShown);
  }
};

}  // namespace qm

QTEST_MAIN(qm::MailViewerTest)
#include "mail_viewer_test.moc"
