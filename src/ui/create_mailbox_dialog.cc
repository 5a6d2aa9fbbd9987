#include "ui/create_mailbox_dialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/user_interface.h"
#include "ui/model/mailbox_pages.h"

namespace qm {

CCreateMailboxDialog::CCreateMailboxDialog(IUserInterface& seam, QWidget* parent)
    : QDialog(parent), ui(seam) {
  setWindowTitle(QStringLiteral("メールボックスの作成"));
  auto* prompt = new QLabel(QStringLiteral("メールボックスの名前を入力してください。"), this);
  field = new QLineEdit(this);
  field->setObjectName(QStringLiteral("name"));
  field->setMinimumWidth(260);
  prompt->setBuddy(field);
  auto* buttons = new QDialogButtonBox(this);
  ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
  cancel = buttons->addButton(QStringLiteral("ｷｬﾝｾﾙ"), QDialogButtonBox::RejectRole);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &CCreateMailboxDialog::OnOk);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(prompt);
  layout->addWidget(field);
  layout->addWidget(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

void CCreateMailboxDialog::OnOk() {
  const NewMailboxName checked = CheckNewMailboxName(field->text().toStdString());
  if (!checked.refusal.empty()) {
    ui.ShowMessage(checked.refusal);
    field->setFocus();
    field->selectAll();
    return;
  }
  name = checked.name;
  accept();
}

}  // namespace qm
