// The mail list of the main window without its widget: which mailbox it shows, one row per mail of
// that mailbox (or of its dustbox), the sort order, and the bookkeeping that keeps row numbers
// equal to mail numbers while mails are removed. The widget mirrors Rows() and forwards its events
// here.
//
// User-interface thread only.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "ui/model/list_settings.h"
#include "ui/model/mail_rows.h"

namespace qm {

class CMailbox;
class CMailboxSet;

class CMailListModel {
 public:
  explicit CMailListModel(CMailboxSet& mailboxes);

  // ---- Which mailbox ----
  // Makes the mailbox at `index` current (none when the index is out of range) and rebuilds.
  // The dustbox view stays as it was.
  void SelectMailbox(int index);
  void ShowDustbox(bool on);
  int CurrentIndex() const { return currentIndex; }
  CMailbox* CurrentMailbox() const { return current; }
  bool DustboxView() const { return dustboxView; }
  // The mailbox the rows belong to, and on which the list commands act; nullptr when none.
  CMailbox* DisplayedMailbox() const;

  // ---- Rows ----
  // Rebuilds every row from one snapshot of the displayed mailbox's index, which never waits for
  // a mail client or a retrieval, then sorts them unless the order is the mailbox order. Without
  // a current mailbox the list is empty.
  void UpdateList();
  // The same, but the rows stay as they are, and false comes back, when no row would differ.
  bool Refresh();

  const std::vector<MailListRow>& Rows() const { return rows; }
  int RowCount() const { return static_cast<int>(rows.size()); }
  // The row that shows mail `number`, or -1.
  int FindRow(int number) const;
  // The row that shows the stored message with this serial, or -1.
  int FindSerial(std::uint64_t serial) const;

  // ---- Sorting ----
  MailListSort Sort() const { return sort; }
  // Takes a saved order; a column that does not exist becomes the number column.
  void SetSort(const MailListSort& order);
  void SortList();
  // The same column again turns the order round; another column sorts ascending by it.
  void OnHeaderClick(int column);

  // ---- Changes after commands ----
  // Removes the row of mail `number` and numbers the mails after it one lower, as the mailbox
  // does. Returns the removed row's index, or -1 (and nothing changes) when no row shows it.
  int RemoveRow(int number);
  // The mail numbers and row indices of the selected rows from top to bottom; the count. Indices
  // outside the list and repeated ones are skipped.
  int GetSelectedMails(std::span<const int> selectedRows, std::vector<int>& numbers,
                       std::vector<int>& rowIndices) const;
  // Each returns 0 for a row that does not exist, else 1.
  int SetRowState(int row, std::uint32_t flags);
  int SetRowClass(int row, int verdict);
  int SetRowClassAndReason(int row, int verdict, unsigned reason);

 private:
  bool ValidRow(int row) const { return row >= 0 && row < RowCount(); }

  CMailboxSet& mailboxes;
  CMailbox* current = nullptr;
  int currentIndex = -1;
  bool dustboxView = false;
  MailListSort sort;
  std::vector<MailListRow> rows;
};

}  // namespace qm
