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

CListEditorDialog::CListEditorDialog(CSenderLists& senderLists, CSettings& settingsFile,
                                     IUserInterface& seam, QWidget* parent)
    : QDialog(parent), editing(senderLists, settingsFile, seam) {
  setWindowTitle(QString::fromUtf8(kListEditorTitle));

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
  emptyAddressBox->setChecked(senderLists.AddEmptyAddrToBadlist());
  okButton = new QPushButton(QStringLiteral("OK"), this);
  okButton->setDefault(true);

  auto* choice = new QHBoxLayout;
  choice->addWidget(friendButton);
  choice->addWidget(badButton);
  choice->addStretch();
  auto* fieldRow = new QHBoxLayout;
  fieldRow->addWidget(field, 1);
  fieldRow->addWidget(addButton);
  fieldRow->addWidget(deleteButton);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(emptyAddressBox);
  bottom->addStretch();
  bottom->addWidget(okButton);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(choice);
  layout->addWidget(list, 1);
  layout->addLayout(fieldRow);
  layout->addLayout(bottom);

  connect(friendButton, &QRadioButton::toggled, this, [this](bool on) {
    if (on) ShowList(SenderList::Friend);
  });
  connect(badButton, &QRadioButton::toggled, this, [this](bool on) {
    if (on) ShowList(SenderList::Bad);
  });
  connect(field, &QLineEdit::textChanged, this, [this](const QString& text) {
    addButton->setEnabled(CanAddAddress(text.toStdString()));
  });
  connect(list, &QTreeWidget::itemSelectionChanged, this, [this] {
    deleteButton->setEnabled(
        CanDeleteAddresses(static_cast<std::size_t>(list->selectedItems().size())));
  });
  connect(addButton, &QPushButton::clicked, this, &CListEditorDialog::AddAddress);
  connect(deleteButton, &QPushButton::clicked, this, &CListEditorDialog::DeleteSelected);
  connect(okButton, &QPushButton::clicked, this, &CListEditorDialog::Store);

  Refill();
}

void CListEditorDialog::ShowList(SenderList which) {
  if (!editing.Show(which)) return;
  (which == SenderList::Friend ? friendButton : badButton)->setChecked(true);
  Refill();
}

void CListEditorDialog::Refill() {
  list->clear();
  for (const std::string& address : editing.Rows()) {
    auto* row = new QTreeWidgetItem(list, {Display(address)});
    row->setData(0, Qt::UserRole,
                 QByteArray(address.data(), static_cast<qsizetype>(address.size())));
  }
  deleteButton->setEnabled(false);
}

void CListEditorDialog::AddAddress() {
  const QByteArray typed = field->text().toUtf8();
  if (!editing.Add(std::string_view(typed.constData(), typed.size()))) return;
  Refill();
}

void CListEditorDialog::DeleteSelected() {
  std::vector<std::string> chosen;
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* row = list->topLevelItem(i);
    if (row->isSelected()) chosen.push_back(Bytes(*row));
  }
  const std::string first = chosen.empty() ? std::string() : Display(chosen.front()).toStdString();
  const CListEditing::Deleted deleted = editing.Delete(chosen, first);
  if (deleted == CListEditing::Deleted::None) return;
  if (deleted == CListEditing::Deleted::One) {
    field->setText(Display(chosen.front()));
    addButton->setEnabled(CanAddAddress(field->text().toStdString()));
  }
  Refill();
}

void CListEditorDialog::Store() {
  if (editing.Store(emptyAddressBox->isChecked())) accept();
}

}  // namespace qm
