#include "ui/property_pages.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "mailboxes/mailbox_set.h"
#include "store/mailbox.h"

namespace qm {

namespace {

QString Text(const std::string& text) { return QString::fromStdString(text); }
std::string Bytes(const QLineEdit* field) { return field->text().toStdString(); }

QLineEdit* NewField(const char* name, const std::string& text, QWidget* parent) {
  auto* field = new QLineEdit(Text(text), parent);
  field->setObjectName(QString::fromLatin1(name));
  return field;
}

QLineEdit* NewSecretField(const char* name, const std::string& text, QWidget* parent) {
  QLineEdit* field = NewField(name, text, parent);
  field->setEchoMode(QLineEdit::Password);
  return field;
}

// A number field takes digits only; whether the number fits is the page's to say on Apply.
QLineEdit* NewNumberField(const char* name, const std::string& text, int digits, QWidget* parent) {
  QLineEdit* field = NewField(name, text, parent);
  field->setValidator(new QRegularExpressionValidator(
      QRegularExpression(QStringLiteral("\\d{0,%1}").arg(digits)), field));
  field->setMaximumWidth(field->fontMetrics().horizontalAdvance(QString(digits + 2, u'0')) + 12);
  return field;
}

QCheckBox* NewCheckBox(const char* name, const QString& text, bool checked, QWidget* parent) {
  auto* box = new QCheckBox(text, parent);
  box->setObjectName(QString::fromLatin1(name));
  box->setChecked(checked);
  return box;
}

// A check box that looks like a push button.
QPushButton* NewPushCheck(const char* name, const QString& text, QWidget* parent) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setCheckable(true);
  return button;
}

// The explanation at the foot of a page, under a rule.
void AddExplanation(QVBoxLayout* layout, const QString& text, QWidget* parent) {
  auto* rule = new QFrame(parent);
  rule->setFrameShape(QFrame::HLine);
  rule->setFrameShadow(QFrame::Sunken);
  auto* label = new QLabel(text, parent);
  label->setObjectName(QStringLiteral("explanation"));
  layout->addSpacing(8);
  layout->addWidget(rule);
  layout->addWidget(label);
}

}  // namespace

// ---- CPropertyPage ----

CPropertyPage::CPropertyPage(CMailboxSet& mailboxes, int mailboxIndex, IUserInterface& seam,
                             QWidget* parent)
    : QWidget(parent), set(mailboxes), index(mailboxIndex), ui(seam) {}

void CPropertyPage::SetModified(bool on) {
  if (modified == on) return;
  modified = on;
  emit ModifiedChanged();
}

void CPropertyPage::Watch(QLineEdit* field) {
  connect(field, &QLineEdit::textEdited, this, [this] { SetModified(true); });
}

void CPropertyPage::Watch(QAbstractButton* button) {
  connect(button, &QAbstractButton::clicked, this, [this] { SetModified(true); });
}

// ---- CPropertyAccount ----

CPropertyAccount::CPropertyAccount(CMailboxSet& mailboxes, int mailboxIndex, IUserInterface& seam,
                                   QWidget* parent)
    : CPropertyPage(mailboxes, mailboxIndex, seam, parent) {
  const AccountPageValues values = LoadAccountPage(*set.Get(index));
  server = NewField("server", values.server, this);
  port = NewNumberField("port", values.port, 5, this);
  user = NewField("user", values.user, this);
  password = NewSecretField("password", values.password, this);
  security = new QComboBox(this);
  security->setObjectName(QStringLiteral("security"));
  // In the order of ConnectionSecurity.
  security->addItems(
      {QStringLiteral("なし"), QStringLiteral("SSL/TLS"), QStringLiteral("STARTTLS")});
  security->setCurrentIndex(static_cast<int>(values.security));
  caFile = NewField("caFile", values.caFile, this);
  caFile->setPlaceholderText(QStringLiteral("（省略可）"));
  auth = new QComboBox(this);
  auth->setObjectName(QStringLiteral("auth"));
  // In the order of AuthMethod.
  auth->addItems({QStringLiteral("パスワード"), QStringLiteral("OAuth 2.0（XOAUTH2）")});
  auth->setCurrentIndex(static_cast<int>(values.auth));
  passwordCommand = NewField("passwordCommand", values.passwordCommand, this);
  passwordCommand->setPlaceholderText(QStringLiteral("（省略可） 例: secret-tool lookup ..."));
  tokenCommand = NewField("tokenCommand", values.tokenCommand, this);
  tokenCommand->setPlaceholderText(QStringLiteral("例: oama access 名前@outlook.com"));

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("受信（POP3）サーバ"), server);
  form->addRow(QStringLiteral("ポート番号"), port);
  form->addRow(QStringLiteral("アカウント名"), user);
  form->addRow(QStringLiteral("認証方式"), auth);
  form->addRow(QStringLiteral("パスワード"), password);
  form->addRow(QStringLiteral("パスワード取得コマンド"), passwordCommand);
  form->addRow(QStringLiteral("トークン取得コマンド"), tokenCommand);
  form->addRow(QStringLiteral("接続の保護"), security);
  form->addRow(QStringLiteral("CA証明書ファイル"), caFile);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  AddExplanation(layout,
                 QStringLiteral("プロバイダなどから提供されるアカウント情報を設定してください。\n"
                                "Quillmoor Mail Filterは、この情報を元に\n"
                                "メールサーバにアクセスしてメールを受信します。"),
                 this);
  layout->addStretch();

  for (QLineEdit* field : {server, port, user, password, caFile, passwordCommand, tokenCommand}) {
    Watch(field);
  }
  connect(security, &QComboBox::activated, this, &CPropertyAccount::OnSecurityChanged);
  connect(auth, &QComboBox::activated, this, [this] {
    EnableLoginFields();
    SetModified(true);
  });
  EnableLoginFields();
}

void CPropertyAccount::EnableLoginFields() {
  const AccountPageFields fields =
      EditableAccountFields(static_cast<AuthMethod>(auth->currentIndex()));
  password->setEnabled(fields.password);
  passwordCommand->setEnabled(fields.passwordCommand);
  tokenCommand->setEnabled(fields.tokenCommand);
}

QString CPropertyAccount::Title() const { return QStringLiteral("メールサーバアカウント"); }

AccountPageValues CPropertyAccount::Values() const {
  return {Bytes(server),
          Bytes(port),
          Bytes(user),
          Bytes(password),
          static_cast<ConnectionSecurity>(security->currentIndex()),
          Bytes(caFile),
          static_cast<AuthMethod>(auth->currentIndex()),
          Bytes(tokenCommand),
          Bytes(passwordCommand)};
}

void CPropertyAccount::OnSecurityChanged(int choice) {
  AccountPageValues values = Values();
  ChangeSecurity(values, static_cast<ConnectionSecurity>(choice));
  port->setText(Text(values.port));
  SetModified(true);
}

bool CPropertyAccount::Apply() { return ApplyAccountPage(set, index, Values(), ui) != 0; }

// ---- CPropertyProxy ----

CPropertyProxy::CPropertyProxy(CMailboxSet& mailboxes, int mailboxIndex, IUserInterface& seam,
                               QWidget* parent)
    : CPropertyPage(mailboxes, mailboxIndex, seam, parent) {
  user = NewField("user", {}, this);
  password = NewSecretField("password", {}, this);
  access = NewCheckBox("access", QStringLiteral("ごみ箱へのアクセスを許可"), false, this);
  automatic = NewPushCheck("automatic", QStringLiteral("自動設定"), this);
  dustboxUser = NewField("dustboxUser", {}, this);
  dustboxPassword = NewSecretField("dustboxPassword", {}, this);
  Show(LoadProxyPage(*set.Get(index)));

  auto* account = new QFormLayout;
  account->addRow(QStringLiteral("アカウント名"), user);
  account->addRow(QStringLiteral("パスワード"), password);
  auto* accessRow = new QHBoxLayout;
  accessRow->addWidget(access);
  accessRow->addStretch();
  accessRow->addWidget(automatic);
  auto* dustbox = new QFormLayout;
  dustbox->addRow(QStringLiteral("ごみ箱用アカウント名"), dustboxUser);
  dustbox->addRow(QStringLiteral("ごみ箱用パスワード"), dustboxPassword);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(account);
  layout->addLayout(accessRow);
  layout->addLayout(dustbox);
  AddExplanation(layout,
                 QStringLiteral("このアカウントは、自由に設定してかまいません。\n"
                                "メーラなどでQuillmoor Mail Filterから\n"
                                "メールを受信するためには、ここで設定した情報を\n"
                                "メーラに設定する必要があります。"),
                 this);
  layout->addStretch();

  for (QLineEdit* field : {user, password, dustboxUser, dustboxPassword}) Watch(field);
  Watch(access);
  for (QLineEdit* field : {user, password}) {
    connect(field, &QLineEdit::textEdited, this, &CPropertyProxy::FillAutomatically);
  }
  connect(access, &QCheckBox::clicked, this, [this] {
    EnableDustboxControls();
    FillAutomatically();
  });
  // Ticking it alone changes nothing stored; the page is modified only when the fields change.
  connect(automatic, &QPushButton::clicked, this, &CPropertyProxy::FillAutomatically);
}

QString CPropertyProxy::Title() const { return QStringLiteral("メールボックスアカウント"); }

ProxyPageValues CPropertyProxy::Values() const {
  return {Bytes(user),        Bytes(password),       access->isChecked(), automatic->isChecked(),
          Bytes(dustboxUser), Bytes(dustboxPassword)};
}

void CPropertyProxy::Show(const ProxyPageValues& values) {
  user->setText(Text(values.user));
  password->setText(Text(values.password));
  access->setChecked(values.dustboxAccess);
  dustboxUser->setText(Text(values.dustboxUser));
  dustboxPassword->setText(Text(values.dustboxPassword));
  EnableDustboxControls();
}

void CPropertyProxy::EnableDustboxControls() {
  const bool on = access->isChecked();
  automatic->setEnabled(on);
  dustboxUser->setEnabled(on);
  dustboxPassword->setEnabled(on);
}

void CPropertyProxy::FillAutomatically() {
  ProxyPageValues values = Values();
  if (!FillAutomaticDustboxAccount(values)) return;
  dustboxUser->setText(Text(values.dustboxUser));
  dustboxPassword->setText(Text(values.dustboxPassword));
  SetModified(true);
}

bool CPropertyProxy::Apply() {
  ProxyPageValues values = Values();
  if (!ApplyProxyPage(set, index, values, ui)) return false;
  Show(values);
  return true;
}

// ---- CPropertyRecieve ----

CPropertyRecieve::CPropertyRecieve(CMailboxSet& mailboxes, int mailboxIndex, IUserInterface& seam,
                                   QWidget* parent)
    : CPropertyPage(mailboxes, mailboxIndex, seam, parent) {
  const ReceivePageValues values = LoadReceivePage(*set.Get(index));
  const auto has = [&values](CMailboxConfig::Option option) {
    return (values.options & option) != 0;
  };
  timer = NewCheckBox("timer", QStringLiteral("タイマー受信を有効"), values.timer, this);
  interval = NewNumberField("interval", values.interval, 5, this);
  interval->setEnabled(values.timer);
  onDemand = NewCheckBox("onDemand", QStringLiteral("オンデマンド受信を有効"),
                         has(CMailboxConfig::OnDemandRetrieval), this);

  auto* intervalRow = new QHBoxLayout;
  intervalRow->addSpacing(20);
  intervalRow->addWidget(interval);
  intervalRow->addWidget(new QLabel(QStringLiteral("秒間隔 "), this));
  intervalRow->addStretch();

  auto* actions = new QGroupBox(QStringLiteral("受信時の処理"), this);
  auto* gridLayout = new QGridLayout(actions);
  const QString headings[] = {QStringLiteral("削\n除"), QStringLiteral("隠\nす"),
                              QStringLiteral("通\n知")};
  for (int column = 0; column < 3; ++column) {
    auto* heading = new QLabel(headings[column], actions);
    heading->setAlignment(Qt::AlignCenter);
    gridLayout->addWidget(heading, 0, column + 1);
  }
  for (std::size_t row = 0; row < kReceiveGrid.size(); ++row) {
    const ReceiveGridRow& info = kReceiveGrid[row];
    const int at = static_cast<int>(row) + 1;
    gridLayout->addWidget(new QLabel(QString::fromUtf8(info.label), actions), at, 0);
    GridBoxes& boxes = grid[row];
    const std::string suffix = std::to_string(row);
    boxes.dustbox = NewCheckBox(("dustbox" + suffix).c_str(), {}, has(info.dustbox), actions);
    boxes.hide = NewCheckBox(("hide" + suffix).c_str(), {}, has(info.hide), actions);
    boxes.notify = NewCheckBox(("notify" + suffix).c_str(), {}, has(info.notify), actions);
    int column = 1;
    for (QCheckBox* box : {boxes.dustbox, boxes.hide, boxes.notify}) {
      gridLayout->addWidget(box, at, column++, Qt::AlignCenter);
      Watch(box);
    }
  }

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(timer);
  layout->addLayout(intervalRow);
  layout->addWidget(onDemand);
  layout->addWidget(actions);
  layout->addStretch();

  Watch(timer);
  Watch(interval);
  Watch(onDemand);
  connect(timer, &QCheckBox::clicked, interval, &QLineEdit::setEnabled);
}

QString CPropertyRecieve::Title() const { return QStringLiteral("受信"); }

bool CPropertyRecieve::Apply() {
  ReceivePageValues values{timer->isChecked(), Bytes(interval), 0};
  const auto put = [&values](QCheckBox* box, CMailboxConfig::Option option) {
    if (box->isChecked()) values.options |= option;
  };
  put(onDemand, CMailboxConfig::OnDemandRetrieval);
  for (std::size_t row = 0; row < kReceiveGrid.size(); ++row) {
    put(grid[row].dustbox, kReceiveGrid[row].dustbox);
    put(grid[row].hide, kReceiveGrid[row].hide);
    put(grid[row].notify, kReceiveGrid[row].notify);
  }
  return ApplyReceivePage(set, index, values, ui) != 0;
}

// ---- CPropertyDustbox ----

CPropertyDustbox::CPropertyDustbox(CMailboxSet& mailboxes, int mailboxIndex, IUserInterface& seam,
                                   QWidget* parent)
    : CPropertyPage(mailboxes, mailboxIndex, seam, parent) {
  auto* server = new QGroupBox(QStringLiteral("サーバのメール"), this);
  keepOnServer =
      NewCheckBox("keepOnServer", QStringLiteral("サーバのメールは削除しない"), false, server);
  const char* const modeNames[] = {"deleteWhenRetrieved", "deleteWhenDustboxed",
                                   "deleteWhenPurged"};
  const QString modeTexts[] = {QStringLiteral("メールを取り込んだら削除する"),
                               QStringLiteral("ごみ箱に入れるか、完全に削除したら削除する"),
                               QStringLiteral("完全に削除したら削除する")};
  auto* modeGroup = new QButtonGroup(this);
  for (std::size_t i = 0; i < modes.size(); ++i) {
    modes[i] = new QRadioButton(modeTexts[i], server);
    modes[i]->setObjectName(QString::fromLatin1(modeNames[i]));
    modeGroup->addButton(modes[i]);
    Watch(modes[i]);
  }
  auto* exemptions = new QGroupBox(QStringLiteral("削除禁止例外"), server);
  keepFriend = NewCheckBox("keepFriend", QStringLiteral("フレンドメール"), false, exemptions);
  keepOther = NewCheckBox("keepOther", QStringLiteral("その他のメール"), false, exemptions);
  auto* exemptionLayout = new QHBoxLayout(exemptions);
  exemptionLayout->addWidget(keepFriend);
  exemptionLayout->addWidget(keepOther);
  exemptionLayout->addStretch();
  deletedHereCount = NewField("deletedHereCount", {}, server);
  deletedHereCount->setReadOnly(true);
  deletedHereCount->setAlignment(Qt::AlignRight);
  deletedHereCount->setMaximumWidth(
      deletedHereCount->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 12);
  refetch = NewPushCheck("refetch", QStringLiteral("削除済みメールの再受信"), server);
  auto* deletedRow = new QHBoxLayout;
  deletedRow->addWidget(new QLabel(QStringLiteral("("), server));
  deletedRow->addWidget(deletedHereCount);
  deletedRow->addWidget(new QLabel(QStringLiteral("通あり )"), server));
  deletedRow->addStretch();
  deletedRow->addWidget(refetch);
  auto* serverLayout = new QVBoxLayout(server);
  serverLayout->addWidget(keepOnServer);
  for (QRadioButton* mode : modes) serverLayout->addWidget(mode);
  serverLayout->addWidget(exemptions);
  serverLayout->addLayout(deletedRow);

  auto* dustbox = new QGroupBox(QStringLiteral("ごみ箱"), this);
  limitDustbox =
      NewCheckBox("limitDustbox", QStringLiteral("ごみ箱の容量を制限する"), false, dustbox);
  dustboxLimit = NewNumberField("dustboxLimit", {}, 10, dustbox);
  openDustboxAtExit =
      NewCheckBox("openDustboxAtExit", QStringLiteral("終了時にごみ箱の未読メールを既読にする"),
                  false, dustbox);
  auto* limitRow = new QHBoxLayout;
  limitRow->addWidget(limitDustbox);
  limitRow->addWidget(dustboxLimit);
  limitRow->addWidget(new QLabel(QStringLiteral("通"), dustbox));
  limitRow->addStretch();
  auto* dustboxLayout = new QVBoxLayout(dustbox);
  dustboxLayout->addLayout(limitRow);
  dustboxLayout->addWidget(openDustboxAtExit);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(server);
  layout->addWidget(dustbox);
  layout->addStretch();

  Show(LoadDustboxPage(*set.Get(index)));
  for (QAbstractButton* button : std::initializer_list<QAbstractButton*>{
           keepOnServer, keepFriend, keepOther, refetch, limitDustbox, openDustboxAtExit}) {
    Watch(button);
  }
  Watch(dustboxLimit);
  connect(keepOnServer, &QCheckBox::clicked, this, &CPropertyDustbox::EnableControls);
  connect(limitDustbox, &QCheckBox::clicked, this, &CPropertyDustbox::EnableControls);
}

QString CPropertyDustbox::Title() const { return QStringLiteral("削除"); }

DustboxPageValues CPropertyDustbox::Values() const {
  DustboxPageValues values;
  values.keepOnServer = keepOnServer->isChecked();
  for (std::size_t i = 0; i < modes.size(); ++i) {
    if (modes[i]->isChecked()) values.deletionMode = static_cast<ServerDeletion>(i + 1);
  }
  values.keepFriend = keepFriend->isChecked();
  values.keepOther = keepOther->isChecked();
  values.deletedHereCount = deletedHereCount->text().toInt();
  values.refetch = refetch->isChecked();
  values.limitDustbox = limitDustbox->isChecked();
  values.dustboxLimit = Bytes(dustboxLimit);
  values.openDustboxAtExit = openDustboxAtExit->isChecked();
  return values;
}

void CPropertyDustbox::Show(const DustboxPageValues& values) {
  keepOnServer->setChecked(values.keepOnServer);
  modes[static_cast<std::size_t>(values.deletionMode) - 1]->setChecked(true);
  keepFriend->setChecked(values.keepFriend);
  keepOther->setChecked(values.keepOther);
  deletedHereCount->setText(QString::number(values.deletedHereCount));
  refetch->setChecked(values.refetch);
  refetch->setEnabled(values.deletedHereCount != 0);
  limitDustbox->setChecked(values.limitDustbox);
  dustboxLimit->setText(Text(values.dustboxLimit));
  openDustboxAtExit->setChecked(values.openDustboxAtExit);
  EnableControls();
}

void CPropertyDustbox::EnableControls() {
  const bool deletes = !keepOnServer->isChecked();
  for (QRadioButton* mode : modes) mode->setEnabled(deletes);
  keepFriend->setEnabled(deletes);
  keepOther->setEnabled(deletes);
  dustboxLimit->setEnabled(limitDustbox->isChecked());
}

bool CPropertyDustbox::Apply() {
  DustboxPageValues values = Values();
  if (!ApplyDustboxPage(set, index, values, ui)) return false;
  Show(values);
  return true;
}

}  // namespace qm
