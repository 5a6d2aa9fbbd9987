#include "ui/options_dialog.h"

#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/settings.h"
#include "desktop_workdir.h"
#include "ui/notify_wnd.h"

namespace qm {

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

class CRecordingPlayer : public ISoundPlayer {
 public:
  void Play(NotifySound sound, const std::string& file) override {
    played.emplace_back(sound, file);
  }
  std::vector<std::pair<NotifySound, std::string>> played;
};

// What Qt's file dialog makes of a filter: the name it shows with its details hidden, and the
// patterns it matches file names with.
std::pair<QString, QStringList> ParseFilter(const QString& filter) {
  static const QRegularExpression details(QStringLiteral("^(.*)\\(([^()]*)\\)$"));
  const QRegularExpressionMatch match = details.match(filter);
  if (!match.hasMatch()) return {};
  return {match.captured(1).simplified(),
          match.captured(2).split(QLatin1Char(' '), Qt::SkipEmptyParts)};
}

}  // namespace

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
  static QStringList Texts(const QWidget& dialog) {
    QStringList texts;
    for (const QLabel* label : dialog.findChildren<QLabel*>()) texts << label->text();
    for (const QAbstractButton* button : dialog.findChildren<QAbstractButton*>()) {
      texts << button->text();
    }
    texts.sort();
    return texts;
  }

 private slots:
  void init() {
    OpenWorkdir();
    player.played.clear();
  }
  void cleanup() { CloseWorkdir(); }

  void OpensWithTheDefaults() {
    auto dialog = Open();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    QCOMPARE(dialog->windowTitle(), QStringLiteral("動作オプション"));
    QStringList expected{"起動時にメールを取得する",
                         "起動時にスプラッシュウィンドウを表示する",
                         "起動メーラ",
                         "参照",
                         "プロキシサーバポート",
                         "（次回起動時より有効）",
                         "ウィンドウ表示時間",
                         "秒　（ 0 秒で非表示 ）",
                         "ウィンドウ表示位置",
                         "デフォルト位置",
                         "X座標",
                         "Y座標",
                         "新着メールを音で知らせる",
                         "通知音",
                         "参照",
                         "Play",
                         "OK",
                         "ｷｬﾝｾﾙ"};
    expected.sort();
    QCOMPARE(Texts(*dialog), expected);
    QCOMPARE(dialog->NotifyGroup()->title(), QStringLiteral("通知"));
    QVERIFY(dialog->NotifyGroup()->isAncestorOf(dialog->DefaultPositionBox()));
    QVERIFY(dialog->NotifyGroup()->isAncestorOf(dialog->PlayButton()));
    QVERIFY(!dialog->NotifyGroup()->isAncestorOf(dialog->PortField()));

    QVERIFY(dialog->StartupRetrieveBox()->isChecked());
    QVERIFY(dialog->ShowSplashBox()->isChecked());
    QVERIFY(dialog->MailerField()->text().isEmpty());
    QCOMPARE(dialog->PortField()->value(), 1110);
    QCOMPARE(dialog->NotifyTimeField()->value(), 10);
    QVERIFY(dialog->DefaultPositionBox()->isChecked());
    QCOMPARE(dialog->PositionXField()->value(), 0);
    QCOMPARE(dialog->PositionYField()->value(), 0);
    QVERIFY(!dialog->PositionXField()->isEnabled());
    QVERIFY(!dialog->PositionYField()->isEnabled());
    QVERIFY(dialog->NotifyBySoundBox()->isChecked());
    QVERIFY(dialog->SoundField()->isEnabled());
    QVERIFY(dialog->SoundBrowseButton()->isEnabled());
    QVERIFY(dialog->PlayButton()->isEnabled());
    QVERIFY(dialog->SoundField()->text().isEmpty());
    QCOMPARE(dialog->Values(), OptionsValues{});

    // The number fields take what the settings may hold, and no more.
    QCOMPARE(dialog->PortField()->minimum(), 1);
    QCOMPARE(dialog->PortField()->maximum(), 65535);
    QCOMPARE(dialog->NotifyTimeField()->minimum(), 0);
    QVERIFY(dialog->PositionXField()->minimum() < 0);
    QVERIFY(dialog->PositionYField()->minimum() < 0);
  }

  void OpensWithStoredValuesAndFollowsTheSwitches() {
    WriteAll(Ini(),
             "[Mailbox]\r\nPort=1995\r\n[Misc]\r\nMailer=/usr/bin/mail client\r\n"
             "StartupRetrieve=0\r\nShowSplash=0\r\nNotifyTime=0\r\nNotifyBySound=0\r\n"
             "NotifySound=/snd/ding.wav\r\n[Geometry]\r\nNotifyWindowPosX=-1280\r\n"
             "NotifyWindowPosY=40\r\n");
    auto dialog = Open();
    QVERIFY(!dialog->StartupRetrieveBox()->isChecked());
    QVERIFY(!dialog->ShowSplashBox()->isChecked());
    QCOMPARE(dialog->MailerField()->text(), QStringLiteral("/usr/bin/mail client"));
    QCOMPARE(dialog->PortField()->value(), 1995);
    QCOMPARE(dialog->NotifyTimeField()->value(), 0);
    QVERIFY(!dialog->DefaultPositionBox()->isChecked());
    QCOMPARE(dialog->PositionXField()->value(), -1280);
    QCOMPARE(dialog->PositionYField()->value(), 40);
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
    QCOMPARE(ReadAll(Ini()),
             std::string("[Mailbox]\r\nPort=2110\r\n"
                         "[Misc]\r\nMailer=/opt/メーラ/run\r\nStartupRetrieve=0\r\nShowSplash=1\r\n"
                         "NotifyTime=5\r\nNotifyBySound=1\r\nNotifySound=/snd/ding.wav\r\n"
                         "[Geometry]\r\nNotifyWindowPosX=-300\r\nNotifyWindowPosY=25\r\n"));
    QVERIFY(answers.texts.empty());
  }

  void DefaultPositionRemovesBothKeys() {
    WriteAll(Ini(), "[Geometry]\r\nNotifyWindowPosX=10\r\nNotifyWindowPosY=20\r\n");
    auto dialog = Open();
    QVERIFY(!dialog->DefaultPositionBox()->isChecked());
    dialog->DefaultPositionBox()->click();
    dialog->OkButton()->click();
    const std::string written = ReadAll(Ini());
    QVERIFY(written.find("NotifyWindowPos") == std::string::npos);
    QCOMPARE(settings->Get(settings::NotifyWindowPosX), settings::kDefaultPosition);
    QCOMPARE(settings->Get(settings::NotifyWindowPosY), settings::kDefaultPosition);
  }

  void CancelAndTheCloseBoxWriteNothing() {
    const std::string before = "; mine\r\n[Misc]\r\nNotifyTime=3\r\n";
    WriteAll(Ini(), before);
    for (const bool closeBox : {false, true}) {
      auto dialog = Open();
      dialog->PortField()->setValue(999);
      dialog->MailerField()->setText(QStringLiteral("/bin/x"));
      dialog->ShowSplashBox()->click();
      dialog->DefaultPositionBox()->click();
      if (closeBox) {
        dialog->close();
      } else {
        dialog->CancelButton()->click();
      }
      QCOMPARE(dialog->result(), int(QDialog::Rejected));
      QCOMPARE(ReadAll(Ini()), before);
    }
    std::filesystem::remove(Ini());
    auto dialog = Open();
    dialog->CancelButton()->click();
    QVERIFY(!std::filesystem::exists(Ini()));
  }

  void PlayBeepsPlaysOrSaysTheFileIsMissing() {
    const QString existing = directory->filePath(QStringLiteral("ding.wav"));
    WriteAll(existing.toStdString(), "RIFF");
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

  void FiltersShowTheirNamesAndMatchFilesWithoutExtension() {
    const auto mailer = MailerFileFilters();
    const auto sound = SoundFileFilters();
    QCOMPARE(mailer.size(), 2);
    QCOMPARE(sound.size(), 2);
    const auto [program, programPatterns] = ParseFilter(mailer[0]);
    QCOMPARE(program, QStringLiteral("デスクトップエントリ（*.desktop）"));
    QVERIFY(QDir::match(programPatterns, QStringLiteral("thunderbird.desktop")));
    QVERIFY(!QDir::match(programPatterns, QStringLiteral("thunderbird")));
    const auto [wave, wavePatterns] = ParseFilter(sound[0]);
    QCOMPARE(wave, QStringLiteral("WAVオーディオ（*.wav）"));
    QVERIFY(QDir::match(wavePatterns, QStringLiteral("ding.wav")));
    QVERIFY(!QDir::match(wavePatterns, QStringLiteral("ding.mp3")));
    for (const QString& all : {mailer[1], sound[1]}) {
      const auto [name, patterns] = ParseFilter(all);
      QCOMPARE(name, QStringLiteral("全てのファイル（*.*）"));
      QVERIFY(QDir::match(patterns, QStringLiteral("thunderbird")));
      QVERIFY(QDir::match(patterns, QStringLiteral("ding.wav")));
    }
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
