#include "ui/mailbox_dialog.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <utility>

#include "app/user_interface.h"
#include "mailboxes/mailbox_set.h"
#include "store/mailbox.h"
#include "ui/create_mailbox_dialog.h"
#include "ui/model/frame_texts.h"
#include "ui/model/mailbox_pages.h"
#include "ui/property_sheet.h"

namespace qm {

CMailboxDialog::CMailboxDialog(CMailboxSet& mailboxes, IUserInterface& seam, QWidget* parent)
    : QDialog(parent),
      set(mailboxes),
      ui(seam),
      runDialog([](QDialog& dialog) { return dialog.exec(); }) {
  setWindowTitle(QStringLiteral("メールボックスの設定"));
  list = new QTreeWidget(this);
  list->setColumnCount(1);
  list->setHeaderLabels({QStringLiteral("メールボックス名")});
  // A column of its own width, as a report list has, rather than one that fills the list.
  list->header()->setStretchLastSection(false);
  list->setColumnWidth(0, 300);
  list->setMinimumWidth(300 + 2 * list->frameWidth());
  list->setRootIsDecorated(false);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->header()->setSectionsMovable(false);

  const auto button = [this](const QString& text, void (CMailboxDialog::*slot)()) {
    auto* made = new QPushButton(text, this);
    made->setAutoDefault(false);
    connect(made, &QPushButton::clicked, this, slot);
    return made;
  };
  addButton = button(QStringLiteral("追加(&A)"), &CMailboxDialog::OnAdd);
  deleteButton = button(QStringLiteral("削除(&R)"), &CMailboxDialog::OnDelete);
  propertiesButton = button(QStringLiteral("プロパティ(&P)"), &CMailboxDialog::OnProperties);
  upButton = button(QStringLiteral("順番 上(&U)"), &CMailboxDialog::OnUp);
  downButton = button(QStringLiteral("順番 下(&D)"), &CMailboxDialog::OnDown);
  closeButton = button(QStringLiteral("閉じる"), &CMailboxDialog::OnClose);
  closeButton->setDefault(true);

  auto* side = new QVBoxLayout;
  for (QPushButton* made : {addButton, deleteButton, propertiesButton}) side->addWidget(made);
  side->addSpacing(12);
  side->addWidget(upButton);
  side->addWidget(downButton);
  side->addStretch();
  side->addWidget(closeButton);
  auto* layout = new QHBoxLayout(this);
  layout->addWidget(list);
  layout->addLayout(side);
  Fill();
}

void CMailboxDialog::SetDialogRunner(DialogRunner runner) { runDialog = std::move(runner); }

int CMailboxDialog::Selected() const {
  for (int row = 0; row < list->topLevelItemCount(); ++row) {
    if (list->topLevelItem(row)->isSelected()) return row;
  }
  return -1;
}

void CMailboxDialog::Select(int row) {
  QTreeWidgetItem* item = list->topLevelItem(row);
  if (item == nullptr) return;
  list->setCurrentItem(item);
  item->setSelected(true);
}

void CMailboxDialog::Fill() {
  list->clear();
  for (int i = 0; i < set.Count(); ++i) {
    auto* item = new QTreeWidgetItem(list);
    item->setText(0, QString::fromStdString(MailboxNameForDisplay(set.Get(i)->Name())));
  }
}

void CMailboxDialog::OnAdd() {
  CCreateMailboxDialog dialog(ui, this);
  if (runDialog(dialog) != QDialog::Accepted) return;
  if (CreateMailbox(set, ui, dialog.Name()) >= 0) Fill();
}

void CMailboxDialog::OnDelete() {
  if (DeleteMailbox(set, ui, Selected())) Fill();
}

void CMailboxDialog::OnProperties() {
  const int index = Selected();
  CMailbox* mailbox = MailboxForProperties(set, ui, index);
  if (mailbox == nullptr) return;
  {
    CPropertySheet sheet(set, index, ui, this);
    runDialog(sheet);
  }
  mailbox->Save();
  Fill();
  Select(index);
}

void CMailboxDialog::OnUp() { Move(true); }

void CMailboxDialog::OnDown() { Move(false); }

void CMailboxDialog::Move(bool up) {
  const int row = MoveMailbox(set, Selected(), up);
  if (row < 0) return;
  Fill();
  Select(row);
}

void CMailboxDialog::OnClose() { accept(); }

void CMailboxDialog::done(int result) {
  SaveMailboxList(set, ui);
  QDialog::done(result);
}

}  // namespace qm
