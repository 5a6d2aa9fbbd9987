#include "ui/model/mail_list.h"

#include <algorithm>

#include "mailboxes/mailbox_set.h"
#include "store/mailbox.h"

namespace qm {

CMailListModel::CMailListModel(CMailboxSet& mailboxSet) : mailboxes(mailboxSet) {}

void CMailListModel::SelectMailbox(int index) {
  currentIndex = index;
  current = index >= 0 && index < mailboxes.Count() ? mailboxes.Get(index) : nullptr;
  UpdateList();
}

void CMailListModel::ShowDustbox(bool on) {
  dustboxView = on;
  UpdateList();
}

CMailbox* CMailListModel::DisplayedMailbox() const {
  if (current == nullptr) return nullptr;
  return dustboxView ? current->Dustbox() : current;
}

void CMailListModel::UpdateList() {
  rows.clear();
  // Rows of a mailbox that is no longer current would let commands act on the wrong mails.
  const CMailbox* mailbox = DisplayedMailbox();
  if (mailbox == nullptr) return;
  const std::vector<ListedMail> listing = mailbox->Listing();
  rows.reserve(listing.size());
  for (std::size_t i = 0; i < listing.size(); ++i) {
    rows.push_back(MakeMailListRow(static_cast<int>(i + 1), listing[i].summary, listing[i].flags));
  }
  // Rows are appended in number order, which is already the ascending number sort.
  if (sort.column != ColumnNumber || sort.reverse) SortList();
}

bool CMailListModel::Refresh() {
  std::vector<MailListRow> before = std::move(rows);
  UpdateList();
  if (rows != before) return true;
  // The same rows in the order the user last saw, which an equal sort key may not give again.
  rows = std::move(before);
  return false;
}

int CMailListModel::FindSerial(std::uint64_t serial) const {
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].serial == serial) return static_cast<int>(i);
  }
  return -1;
}

int CMailListModel::FindRow(int number) const {
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].number == number) return static_cast<int>(i);
  }
  return -1;
}

void CMailListModel::SetSort(const MailListSort& order) {
  sort = order;
  if (sort.column < 0 || sort.column >= kMailColumnCount) sort.column = ColumnNumber;
}

void CMailListModel::SortList() {
  // Stable, so that rows with equal keys keep the order the user last saw.
  std::stable_sort(rows.begin(), rows.end(), [this](const MailListRow& a, const MailListRow& b) {
    return CompareRows(a, b, sort.column, sort.reverse) < 0;
  });
}

void CMailListModel::OnHeaderClick(int column) {
  if (column < 0 || column >= kMailColumnCount) return;
  if (column == sort.column) {
    sort.reverse = !sort.reverse;
  } else {
    sort.column = column;
    sort.reverse = false;
  }
  SortList();
}

int CMailListModel::RemoveRow(int number) {
  const int row = FindRow(number);
  if (row < 0) return -1;
  rows.erase(rows.begin() + row);
  for (MailListRow& other : rows) {
    if (other.number > number) {
      --other.number;
      other.texts[ColumnNumber] = std::to_string(other.number);
    }
  }
  return row;
}

int CMailListModel::GetSelectedMails(std::span<const int> selectedRows, std::vector<int>& numbers,
                                     std::vector<int>& rowIndices) const {
  rowIndices.clear();
  for (int row : selectedRows) {
    if (ValidRow(row)) rowIndices.push_back(row);
  }
  std::sort(rowIndices.begin(), rowIndices.end());
  rowIndices.erase(std::unique(rowIndices.begin(), rowIndices.end()), rowIndices.end());
  numbers.clear();
  for (int row : rowIndices) numbers.push_back(rows[static_cast<std::size_t>(row)].number);
  return static_cast<int>(rowIndices.size());
}

int CMailListModel::SetRowState(int row, std::uint32_t flags) {
  if (!ValidRow(row)) return 0;
  rows[static_cast<std::size_t>(row)].stateImage = StateImage(flags);
  return 1;
}

int CMailListModel::SetRowClass(int row, int verdict) {
  if (!ValidRow(row)) return 0;
  rows[static_cast<std::size_t>(row)].verdictImage = VerdictImage(verdict);
  return 1;
}

int CMailListModel::SetRowClassAndReason(int row, int verdict, unsigned reason) {
  if (!ValidRow(row)) return 0;
  MailListRow& target = rows[static_cast<std::size_t>(row)];
  target.verdictImage = VerdictImage(verdict);
  target.texts[ColumnDetail] = std::to_string(reason);
  return 1;
}

}  // namespace qm
