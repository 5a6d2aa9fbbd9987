#include "ui/options_dialog.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/settings.h"
#include "desktop_workdir.h"
#include "support/file_bytes.h"
#include "ui/notify_wnd.h"

namespace qm {

class OptionsDialogTest : public QObject, protected CDesktopWorkdir {
  Q_OBJECT

 private:
  CRecordingPlayer player;

  std::string Ini() const { return settings->Profile().Path(); }
  std::unique_ptr<COptionsDialog> Open() {
    auto dialog = std::make_unique<COptionsDialog>(*settings, *ui, player);
    dialog->show();
    return dialog;
  }
 private slots:
  void init() {
    OpenWorkdir();
    player.played.clear();
  }
  void cleanup() { CloseWorkdir(); }

  void OpensWithStoredValuesAndFollowsTheSwitches() {
    test::WriteFileBytes(Ini(),
                         "[Mailbox]\r\nPort=1995\r\n[Misc]\r\nMailer=/usr/bin/mail client\r\n"
                         "StartupRetrieve=0\r\nShowSplash=0\r\nNotifyTime=0\r\nNotifyBySound=0\r\n"
                         "NotifySound=/snd/ding.wav\r\n[Geometry]\r\nNotifyWindowPosX=-1280\r\n"
                         "NotifyWindowPosY=40\r\n");
    auto dialog = Open();
    // The values read are the model's; the fields show them.
    QCOMPARE(dialog->Values(), ReadOptions(*settings));
    QCOMPARE(dialog->PortField()->value(), 1995);
    QCOMPARE(dialog->PositionXField()->value(), -1280);
    QVERIFY(dialog->PositionXField()->isEnabled() && dialog->PositionYField()->isEnabled());
    QVERIFY(!dialog->NotifyBySoundBox()->isChecked());
    QCOMPARE(dialog->SoundField()->text(), QStringLiteral("/snd/ding.wav"));
    QVERIFY(!dialog->SoundField()->isEnabled());
    QVERIFY(!dialog->SoundBrowseButton()->isEnabled());
    QVERIFY(!dialog->PlayButton()->isEnabled());

    dialog->NotifyBySoundBox()->click();
    QVERIFY(dialog->SoundField()->isEnabled());
    QVERIFY(dialog->SoundBrowseButton()->isEnabled());
    QVERIFY(dialog->PlayButton()->isEnabled());
    dialog->DefaultPositionBox()->click();
    QVERIFY(!dialog->PositionXField()->isEnabled() && !dialog->PositionYField()->isEnabled());
    dialog->DefaultPositionBox()->click();
    QVERIFY(dialog->PositionXField()->isEnabled() && dialog->PositionYField()->isEnabled());
    QCOMPARE(dialog->PositionXField()->value(), -1280);
    dialog->NotifyBySoundBox()->click();
    QVERIFY(!dialog->PlayButton()->isEnabled());
  }

  void OkWritesEveryFieldInOrder() {
    auto dialog = Open();
    dialog->PortField()->setValue(2110);
    dialog->MailerField()->setText(QStringLiteral("/opt/メーラ/run"));
    dialog->StartupRetrieveBox()->click();
    dialog->NotifyTimeField()->setValue(5);
    dialog->SoundField()->setText(QStringLiteral("/snd/ding.wav"));
    dialog->DefaultPositionBox()->click();
    dialog->PositionXField()->setValue(-300);
    dialog->PositionYField()->setValue(25);
    dialog->OkButton()->click();
    QCOMPARE(dialog->result(), int(QDialog::Accepted));
    QCOMPARE(test::ReadFileBytes(Ini()),
             std::string("[Mailbox]\r\nPort=2110\r\n"
                         "[Misc]\r\nMailer=/opt/メーラ/run\r\nStartupRetrieve=0\r\nShowSplash=1\r\n"
                         "NotifyTime=5\r\nNotifyBySound=1\r\nNotifySound=/snd/ding.wav\r\n"
                         "[Geometry]\r\nNotifyWindowPosX=-300\r\nNotifyWindowPosY=25\r\n"));
    QVERIFY(answers.texts.empty());
  }

  void CancelAndTheCloseBoxWriteNothing() {
    const std::string before = "; mine\r\n[Misc]\r\nNotifyTime=3\r\n";
    test::WriteFileBytes(Ini(), before);
    for (const bool closeBox : {false, true}) {
      auto dialog = Open();
      dialog->PortField()->setValue(999);
      dialog->DefaultPositionBox()->click();
      if (closeBox) {
        dialog->close();
      } else {
        dialog->CancelButton()->click();
      }
      QCOMPARE(dialog->result(), int(QDialog::Rejected));
      QCOMPARE(test::ReadFileBytes(Ini()), before);
    }
  }

  void PlayBeepsPlaysOrSaysTheFileIsMissing() {
    const QString existing = directory->filePath(QStringLiteral("ding.wav"));
    test::WriteFileBytes(existing.toStdString(), "RIFF");
    auto dialog = Open();
    dialog->PlayButton()->click();
    dialog->SoundField()->setText(existing);
    dialog->PlayButton()->click();
    dialog->SoundField()->setText(directory->filePath(QStringLiteral("gone.wav")));
    dialog->PlayButton()->click();
    const std::vector<std::pair<NotifySound, std::string>> expected{
        {NotifySound::Beep, ""}, {NotifySound::File, existing.toStdString()}};
    QCOMPARE(player.played, expected);
    QCOMPARE(answers.texts, std::vector<std::string>{"指定したファイルがありません。"});
    // Playing is not choosing: nothing is written.
    QVERIFY(!std::filesystem::exists(Ini()));
  }

  void BrowseOffersTheFiltersAndTakesTheChosenPath() {
    auto dialog = Open();
    std::vector<QStringList> offered;
    std::vector<QString> starts;
    QString answer = QStringLiteral("/usr/local/bin/mailer");
    dialog->SetFileChooser([&](const QStringList& filters, const QString& current) {
      offered.push_back(filters);
      starts.push_back(current);
      return answer;
    });
    dialog->MailerField()->setText(QStringLiteral("/old/mailer"));
    dialog->MailerBrowseButton()->click();
    QCOMPARE(dialog->MailerField()->text(), QStringLiteral("/usr/local/bin/mailer"));
    answer = QStringLiteral("/snd/chime.wav");
    dialog->SoundBrowseButton()->click();
    QCOMPARE(dialog->SoundField()->text(), QStringLiteral("/snd/chime.wav"));
    answer.clear();
    dialog->SoundBrowseButton()->click();
    QCOMPARE(dialog->SoundField()->text(), QStringLiteral("/snd/chime.wav"));
    // Without a mail client yet, the dialog starts among the desktop entries.
    dialog->MailerField()->clear();
    dialog->MailerBrowseButton()->click();
    QCOMPARE(starts, (std::vector<QString>{"/old/mailer", "", "/snd/chime.wav",
                                           "/usr/share/applications/"}));
    QCOMPARE(offered.size(), std::size_t{4});
    QCOMPARE(offered[0], MailerFileFilters());
    QCOMPARE(offered[1], SoundFileFilters());
  }

  void UnwritableSettingsKeepTheDialogOpen() {
    QVERIFY(std::filesystem::create_directory(Ini()));
    auto dialog = Open();
    dialog->OkButton()->click();
    QCOMPARE(answers.texts, std::vector<std::string>{"設定ファイルが保存できません。"});
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->result(), int(QDialog::Rejected));
  }
};

}  // namespace qm

QTEST_MAIN(qm::OptionsDialogTest)
#include "options_dialog_test.moc"
