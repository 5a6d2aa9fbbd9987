#include "ui/property_sheet.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "mailboxes/mailbox_set.h"
#include "store/mailbox.h"
#include "ui/model/frame_texts.h"
#include "ui/model/mailbox_pages.h"
#include "ui/property_pages.h"

namespace qm {

CPropertySheet::CPropertySheet(CMailboxSet& set, int index, IUserInterface& ui, QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(QString::fromStdString(MailboxNameForDisplay(set.Get(index)->Name())) +
                 QStringLiteral("のプロパティ"));
  tabs = new QTabWidget(this);
  // Every tab in sight: the sheet grows to the width of the tab row.
  tabs->setUsesScrollButtons(false);
  pages = {new CPropertyAccount(set, index, ui), new CPropertyProxy(set, index, ui),
           new CPropertyRecieve(set, index, ui), new CPropertyDustbox(set, index, ui)};
  for (CPropertyPage* page : pages) {
    tabs->addTab(page, page->Title());
    connect(page, &CPropertyPage::ModifiedChanged, this, &CPropertySheet::UpdateApplyButton);
  }

  auto* buttons = new QDialogButtonBox(this);
  ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
  cancel = buttons->addButton(QStringLiteral("ｷｬﾝｾﾙ"), QDialogButtonBox::RejectRole);
  apply = buttons->addButton(QStringLiteral("適用(&A)"), QDialogButtonBox::ApplyRole);
  ok->setDefault(true);
  apply->setEnabled(false);
  connect(ok, &QPushButton::clicked, this, [this] {
    if (ApplyPages()) accept();
  });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(apply, &QPushButton::clicked, this, &CPropertySheet::ApplyPages);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs);
  layout->addWidget(buttons);
}

void CPropertySheet::ShowPage(int page) {
  if (page >= 0 && page < kPageCount) tabs->setCurrentIndex(page);
}

int CPropertySheet::CurrentPage() const { return tabs->currentIndex(); }

bool CPropertySheet::ApplyPages() {
  for (int i = 0; i < kPageCount; ++i) {
    CPropertyPage* page = Page(i);
    // The account page applies every time, so the settings are always marked for saving.
    if (i != 0 && !page->Modified()) continue;
    if (!page->Apply()) {
      ShowPage(i);
      return false;
    }
    page->SetModified(false);
  }
  return true;
}

void CPropertySheet::UpdateApplyButton() {
  bool modified = false;
  for (const CPropertyPage* page : pages) modified = modified || page->Modified();
  apply->setEnabled(modified);
}

}  // namespace qm
