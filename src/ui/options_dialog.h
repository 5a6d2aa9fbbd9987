// The options dialog: the local server's port, the mail client, the start-up switches and the
// new-mail notification (time, place and sound). OK writes every field to the settings; Cancel
// and the close box write nothing.
//
// User-interface thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>

#include "ui/model/options_values.h"

class QCheckBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace qm {

class CSettings;
class ISoundPlayer;
class IUserInterface;

// The file-open dialog's filters: each visible name, followed by the patterns in Qt's syntax
// (which the dialog does not show). The mail client is a desktop entry or, under "all files" ("*",
// since programs here have no extension), an executable; the field also takes a command line.
QStringList MailerFileFilters();
QStringList SoundFileFilters();

class COptionsDialog : public QDialog {
  Q_OBJECT

 public:
  static constexpr const char* kTitle = "動作オプション";
  static constexpr const char* kMissingSoundText = "指定したファイルがありません。";
  static constexpr const char* kSettingsNotSavedText = "設定ファイルが保存できません。";

  // An existing file chosen by the user, or an empty string when none was chosen. `current` is
  // the field's text, to start from its folder.
  using FileChooser = std::function<QString(const QStringList& filters, const QString& current)>;

  COptionsDialog(CSettings& settings, IUserInterface& ui, ISoundPlayer& sound,
                 QWidget* parent = nullptr);

  // Replaces the file-open dialog behind both "参照" buttons.
  void SetFileChooser(FileChooser chooser) { chooseFile = std::move(chooser); }

  // The fields as OK would write them.
  OptionsValues Values() const;

  QCheckBox* StartupRetrieveBox() const { return startupRetrieve; }
  QCheckBox* ShowSplashBox() const { return showSplash; }
  QLineEdit* MailerField() const { return mailer; }
  QPushButton* MailerBrowseButton() const { return mailerBrowse; }
  QSpinBox* PortField() const { return port; }
  QGroupBox* NotifyGroup() const { return notifyGroup; }
  QSpinBox* NotifyTimeField() const { return notifyTime; }
  QCheckBox* DefaultPositionBox() const { return defaultPosition; }
  QSpinBox* PositionXField() const { return positionX; }
  QSpinBox* PositionYField() const { return positionY; }
  QCheckBox* NotifyBySoundBox() const { return notifyBySound; }
  QLineEdit* SoundField() const { return sound; }
  QPushButton* SoundBrowseButton() const { return soundBrowse; }
  QPushButton* PlayButton() const { return play; }
  QPushButton* OkButton() const { return ok; }
  QPushButton* CancelButton() const { return cancel; }

 private:
  void ShowValues(const OptionsValues& values);
  void UpdateEnabled();
  // An empty field starts the dialog in `fallback`: the desktop entries, for the mail client.
  void Browse(QLineEdit& field, const QStringList& filters, const QString& fallback = {});
  void Play();
  void Store();

  CSettings& settings;
  IUserInterface& ui;
  ISoundPlayer& player;
  FileChooser chooseFile;

  QCheckBox* startupRetrieve;
  QCheckBox* showSplash;
  QLineEdit* mailer;
  QPushButton* mailerBrowse;
  QSpinBox* port;
  QGroupBox* notifyGroup;
  QSpinBox* notifyTime;
  QCheckBox* defaultPosition;
  QSpinBox* positionX;
  QSpinBox* positionY;
  QCheckBox* notifyBySound;
  QLineEdit* sound;
  QPushButton* soundBrowse;
  QPushButton* play;
  QPushButton* ok;
  QPushButton* cancel;
};

}  // namespace qm
