// The property sheet of one mailbox: its four pages on tabs, with OK, Cancel and Apply. Apply
// and OK write every modified page (and the account page always) in page order; a page that
// refuses its values stops the rest and is shown. Cancel writes nothing more, so the mailbox
// keeps what the last Apply gave it. The caller saves the mailbox whatever button closed the
// sheet.
//
// User-interface thread only.
#pragma once

#include <QDialog>
#include <array>

class QPushButton;
class QTabWidget;

namespace qm {

class CMailboxSet;
class CPropertyPage;
class IUserInterface;

class CPropertySheet : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kPageCount = 4;

  CPropertySheet(CMailboxSet& set, int index, IUserInterface& ui, QWidget* parent = nullptr);

  // Brings page 0 .. kPageCount-1 to the front.
  void ShowPage(int page);
  int CurrentPage() const;
  CPropertyPage* Page(int page) const { return pages[static_cast<std::size_t>(page)]; }
  QPushButton* OkButton() const { return ok; }
  QPushButton* CancelButton() const { return cancel; }
  QPushButton* ApplyButton() const { return apply; }

  // What Apply does; false when a page refused.
  bool ApplyPages();

 private:
  void UpdateApplyButton();

  QTabWidget* tabs;
  std::array<CPropertyPage*, kPageCount> pages;
  QPushButton* ok;
  QPushButton* cancel;
  QPushButton* apply;
};

}  // namespace qm
