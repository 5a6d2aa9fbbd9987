#include "ui/options_dialog.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <string>

#include "app/settings.h"
#include "app/user_interface.h"
#include "ui/notify_wnd.h"

namespace qm {

namespace {

QString Utf8(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string Bytes(const QString& text) { return text.toUtf8().toStdString(); }

// The name filters come with the patterns of their own name; Qt hides those details, so the user
// sees the names alone.
QString ChooseExistingFile(QWidget* parent, const QStringList& filters, const QString& current) {
  const QString start = current.isEmpty() ? QString() : QFileInfo(current).absolutePath();
  return QFileDialog::getOpenFileName(parent, QStringLiteral("開く"), start,
                                      filters.join(QStringLiteral(";;")), nullptr,
                                      QFileDialog::HideNameFilterDetails);
}

QSpinBox* NumberField(QWidget* parent, int minimum, int maximum) {
  auto* field = new QSpinBox(parent);
  field->setRange(minimum, maximum);
  field->setButtonSymbols(QAbstractSpinBox::NoButtons);
  field->setAlignment(Qt::AlignRight);
  return field;
}

}  // namespace

QStringList MailerFileFilters() {
  return {QStringLiteral("デスクトップエントリ（*.desktop） (*.desktop)"),
          QStringLiteral("全てのファイル（*.*） (*)")};
}

QStringList SoundFileFilters() {
  return {QStringLiteral("WAVオーディオ（*.wav） (*.wav)"),
          QStringLiteral("全てのファイル（*.*） (*)")};
}

COptionsDialog::COptionsDialog(CSettings& settingsFile, IUserInterface& seam,
                               ISoundPlayer& soundPlayer, QWidget* parent)
    : QDialog(parent), settings(settingsFile), ui(seam), player(soundPlayer) {
  setWindowTitle(QString::fromUtf8(kTitle));
  chooseFile = [this](const QStringList& filters, const QString& current) {
    return ChooseExistingFile(this, filters, current);
  };

  startupRetrieve = new QCheckBox(QStringLiteral("起動時にメールを取得する"), this);
  showSplash = new QCheckBox(QStringLiteral("起動時にスプラッシュウィンドウを表示する"), this);
  mailer = new QLineEdit(this);
  mailerBrowse = new QPushButton(QStringLiteral("参照"), this);
  port = NumberField(this, kOptionsMinPort, kOptionsMaxPort);

  notifyGroup = new QGroupBox(QStringLiteral("通知"), this);
  notifyTime = NumberField(notifyGroup, 0, kOptionsMaxNotifyTime);
  defaultPosition = new QCheckBox(QStringLiteral("デフォルト位置"), notifyGroup);
  positionX = NumberField(notifyGroup, -kOptionsMaxCoordinate, kOptionsMaxCoordinate);
  positionY = NumberField(notifyGroup, -kOptionsMaxCoordinate, kOptionsMaxCoordinate);
  notifyBySound = new QCheckBox(QStringLiteral("新着メールを音で知らせる"), notifyGroup);
  sound = new QLineEdit(notifyGroup);
  soundBrowse = new QPushButton(QStringLiteral("参照"), notifyGroup);
  play = new QPushButton(QStringLiteral("Play"), notifyGroup);

  ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setDefault(true);
  cancel = new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this);

  auto* program = new QGridLayout;
  program->addWidget(startupRetrieve, 0, 0, 1, 4);
  program->addWidget(showSplash, 1, 0, 1, 4);
  program->addWidget(new QLabel(QStringLiteral("起動メーラ"), this), 2, 0);
  program->addWidget(mailer, 2, 1, 1, 2);
  program->addWidget(mailerBrowse, 2, 3);
  program->addWidget(new QLabel(QStringLiteral("プロキシサーバポート"), this), 3, 0);
  program->addWidget(port, 3, 1);
  program->addWidget(new QLabel(QStringLiteral("（次回起動時より有効）"), this), 3, 2, 1, 2);
  program->setColumnStretch(2, 1);

  auto* notify = new QGridLayout(notifyGroup);
  notify->addWidget(new QLabel(QStringLiteral("ウィンドウ表示時間"), notifyGroup), 0, 0);
  notify->addWidget(notifyTime, 0, 1);
  notify->addWidget(new QLabel(QStringLiteral("秒　（ 0 秒で非表示 ）"), notifyGroup), 0, 2, 1, 4);
  notify->addWidget(new QLabel(QStringLiteral("ウィンドウ表示位置"), notifyGroup), 1, 0, 1, 6);
  notify->addWidget(defaultPosition, 2, 0);
  notify->addWidget(new QLabel(QStringLiteral("X座標"), notifyGroup), 2, 1, Qt::AlignRight);
  notify->addWidget(positionX, 2, 2);
  notify->addWidget(new QLabel(QStringLiteral("Y座標"), notifyGroup), 2, 3, Qt::AlignRight);
  notify->addWidget(positionY, 2, 4);
  notify->addWidget(notifyBySound, 3, 0, 1, 6);
  notify->addWidget(new QLabel(QStringLiteral("通知音"), notifyGroup), 4, 0);
  auto* soundRow = new QHBoxLayout;
  soundRow->addWidget(sound, 1);
  soundRow->addWidget(soundBrowse);
  soundRow->addWidget(play);
  notify->addLayout(soundRow, 4, 1, 1, 5);
  notify->setColumnStretch(5, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(program);
  layout->addWidget(notifyGroup);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  mailer->setMinimumWidth(280);

  ShowValues(ReadOptions(settings));

  connect(defaultPosition, &QCheckBox::toggled, this, &COptionsDialog::UpdateEnabled);
  connect(notifyBySound, &QCheckBox::toggled, this, &COptionsDialog::UpdateEnabled);
  connect(mailerBrowse, &QPushButton::clicked, this, [this] {
    Browse(*mailer, MailerFileFilters(), QStringLiteral("/usr/share/applications/"));
  });
  connect(soundBrowse, &QPushButton::clicked, this, [this] { Browse(*sound, SoundFileFilters()); });
  connect(play, &QPushButton::clicked, this, &COptionsDialog::Play);
  connect(ok, &QPushButton::clicked, this, &COptionsDialog::Store);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void COptionsDialog::ShowValues(const OptionsValues& values) {
  port->setValue(values.port);
  mailer->setText(Utf8(values.mailer));
  startupRetrieve->setChecked(values.startupRetrieve);
  showSplash->setChecked(values.showSplash);
  notifyTime->setValue(values.notifyTime);
  notifyBySound->setChecked(values.notifyBySound);
  sound->setText(Utf8(values.notifySound));
  defaultPosition->setChecked(values.defaultPosition);
  positionX->setValue(values.positionX);
  positionY->setValue(values.positionY);
  UpdateEnabled();
}

OptionsValues COptionsDialog::Values() const {
  OptionsValues values;
  values.port = port->value();
  values.mailer = Bytes(mailer->text());
  values.startupRetrieve = startupRetrieve->isChecked();
  values.showSplash = showSplash->isChecked();
  values.notifyTime = notifyTime->value();
  values.notifyBySound = notifyBySound->isChecked();
  values.notifySound = Bytes(sound->text());
  values.defaultPosition = defaultPosition->isChecked();
  values.positionX = positionX->value();
  values.positionY = positionY->value();
  return values;
}

void COptionsDialog::UpdateEnabled() {
  const bool placed = !defaultPosition->isChecked();
  positionX->setEnabled(placed);
  positionY->setEnabled(placed);
  const bool bySound = notifyBySound->isChecked();
  sound->setEnabled(bySound);
  soundBrowse->setEnabled(bySound);
  play->setEnabled(bySound);
}

void COptionsDialog::Browse(QLineEdit& field, const QStringList& filters, const QString& fallback) {
  const QString chosen = chooseFile(filters, field.text().isEmpty() ? fallback : field.text());
  if (!chosen.isEmpty()) field.setText(chosen);
}

void COptionsDialog::Play() {
  const std::string path = Bytes(sound->text());
  switch (ChooseOptionsPlay(path)) {
    case OptionsPlay::Beep:
      player.Play(NotifySound::Beep, {});
      return;
    case OptionsPlay::File:
      player.Play(NotifySound::File, path);
      return;
    case OptionsPlay::Missing:
      ui.ShowMessage(kMissingSoundText);
      return;
  }
}

void COptionsDialog::Store() {
  if (!WriteOptions(settings, Values())) {
    ui.ShowMessage(kSettingsNotSavedText);
    return;
  }
  accept();
}

}  // namespace qm
