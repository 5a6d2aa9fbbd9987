#include "ui/list_editor.h"

#include <QButtonGroup>
#include <QByteArray>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <vector>

#include "app/settings.h"
#include "app/user_interface.h"

namespace qm {

namespace {

// Addresses are bytes; what is not UTF-8 shows as replacement characters.
QString Display(const std::string& address) {
  return QString::fromUtf8(address.data(), static_cast<qsizetype>(address.size()));
}

std::string Bytes(const QTreeWidgetItem& row) {
  return row.data(0, Qt::UserRole).toByteArray().toStdString();
}

}  // namespace

std::string CListEditorDialog::DeleteOneQuestion(const std::string& address) {
  return Display(address).toStdString() + " を削除します。よろしいですか？";
}

std::string CListEditorDialog::DeleteManyQuestion(int count) {
  return std::to_string(count) + " 個のメールアドレスを削除します。よろしいですか？";
}

CListEditorDialog::CListEditorDialog(CSenderLists& senderLists, CSettings& settingsFile,
                                     IUserInterface& seam, QWidget* parent)
    : QDialog(parent), lists(senderLists), settings(settingsFile), ui(seam) {
  setWindowTitle(QString::fromUtf8(kTitle));

  friendButton = new QRadioButton(QStringLiteral("フレンドリスト"), this);
  badButton = new QRadioButton(QStringLiteral("バッドリスト"), this);
  auto* which = new QButtonGroup(this);
  which->addButton(friendButton);
  which->addButton(badButton);
  friendButton->setChecked(true);

  list = new QTreeWidget(this);
  list->setColumnCount(1);
  list->setHeaderLabels({QStringLiteral("Mail Address")});
  list->header()->setStretchLastSection(false);
  list->setColumnWidth(0, kColumnWidth);
  list->setRootIsDecorated(false);
  list->setUniformRowHeights(true);
  list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list->setMinimumSize(kColumnWidth + 40, 240);

  field = new QLineEdit(this);
  addButton = new QPushButton(QStringLiteral("追 加"), this);
  deleteButton = new QPushButton(QStringLiteral("削 除"), this);
  addButton->setEnabled(false);
  deleteButton->setEnabled(false);
  emptyAddressBox = new QCheckBox(QStringLiteral("バッドリストに空のアドレスを含める"), this);
  emptyAddressBox->setChecked(lists.AddEmptyAddrToBadlist());
  okButton = new QPushButton(QStringLiteral("OK"), this);
  okButton->setDefault(true);

  auto* choice = new QHBoxLayout;
  choice->addWidget(friendButton);
  choice->addWidget(badButton);
  choice->addStretch();
  auto* editing = new QHBoxLayout;
  editing->addWidget(field, 1);
  editing->addWidget(addButton);
  editing->addWidget(deleteButton);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(emptyAddressBox);
  bottom->addStretch();
  bottom->addWidget(okButton);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(choice);
  layout->addWidget(list, 1);
  layout->addLayout(editing);
  layout->addLayout(bottom);

  connect(friendButton, &QRadioButton::toggled, this, [this](bool on) {
    if (on) ShowList(SenderList::Friend);
  });
  connect(badButton, &QRadioButton::toggled, this, [this](bool on) {
    if (on) ShowList(SenderList::Bad);
  });
  connect(field, &QLineEdit::textChanged, this,
          [this](const QString& text) { addButton->setEnabled(!text.isEmpty()); });
  connect(list, &QTreeWidget::itemSelectionChanged, this,
          [this] { deleteButton->setEnabled(!list->selectedItems().isEmpty()); });
  connect(addButton, &QPushButton::clicked, this, &CListEditorDialog::AddAddress);
  connect(deleteButton, &QPushButton::clicked, this, &CListEditorDialog::DeleteSelected);
  connect(okButton, &QPushButton::clicked, this, &CListEditorDialog::Store);

  Refill();
}

void CListEditorDialog::ShowList(SenderList which) {
  if (which == shown) return;
  shown = which;
  (which == SenderList::Friend ? friendButton : badButton)->setChecked(true);
  Refill();
}

void CListEditorDialog::Refill() {
  list->clear();
  for (const std::string& address : lists.Entries(shown)) {
    auto* row = new QTreeWidgetItem(list, {Display(address)});
    row->setData(0, Qt::UserRole,
                 QByteArray(address.data(), static_cast<qsizetype>(address.size())));
  }
  deleteButton->setEnabled(false);
}

void CListEditorDialog::AddAddress() {
  const QByteArray typed = field->text().toUtf8();
  if (!lists.AddTo(shown, std::string_view(typed.constData(), typed.size()))) return;
  Refill();
}

void CListEditorDialog::DeleteSelected() {
  std::vector<std::string> chosen;
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* row = list->topLevelItem(i);
    if (row->isSelected()) chosen.push_back(Bytes(*row));
  }
  if (chosen.empty()) {
    ui.ShowMessage(kSelectFirstText);
    return;
  }
  const std::string question = chosen.size() == 1
                                   ? DeleteOneQuestion(chosen.front())
                                   : DeleteManyQuestion(static_cast<int>(chosen.size()));
  if (ui.Ask(question, Buttons::OkCancel, Answer::Ok) != Answer::Ok) return;
  for (const std::string& address : chosen) lists.RemoveFrom(shown, address);
  if (chosen.size() == 1) {
    // Back into the field, to be corrected and added again.
    field->setText(Display(chosen.front()));
    addButton->setEnabled(!field->text().isEmpty());
  }
  Refill();
}

void CListEditorDialog::Store() {
  const bool on = emptyAddressBox->isChecked();
  if (!settings.Set(settings::AddEmptyAddrToBadlist, on ? 1 : 0)) {
    ui.ShowMessage(kSettingsNotSavedText);
    return;
  }
  lists.SetAddEmptyAddrToBadlist(on);
  accept();
}

}  // namespace qm
