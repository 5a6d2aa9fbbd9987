// The mail list widget: a table over CMailListModel whose events go to CListCommands, and the
// window side of those commands (IListWindow). What belongs to the main frame (counts, the
// mailbox selector, hiding the window, its dialogs) is announced through signals.
//
// User-interface thread only.
#pragma once

#include <QTableView>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ui/model/list_commands.h"
#include "ui/model/mail_list.h"

class QProgressDialog;

namespace qm {

class CMailTableModel;
class CQtUi;
class CSettings;

// Qt's key code as a ListKey (letters and digits as upper-case ASCII), or 0 for any other key.
// With Shift held Qt reports the symbol printed on a digit key ("!" or "\"" by the layout), so a
// key of the number row is known by its X keyboard code `scanCode` instead (0 when unknown).
int ListKeyOf(int qtKey, unsigned scanCode = 0);

class COrbaltView : public QTableView, public IListWindow {
  Q_OBJECT

 public:
  COrbaltView(CMailboxSet& mailboxes, CSenderLists& lists, CSettings& settings, CQtUi& ui,
              QWidget* parent = nullptr);
  ~COrbaltView() override;

  CMailListModel& List() { return list; }
  CListCommands& Commands() { return commands; }
  CMailboxSet& Mailboxes() { return mailboxes; }
  CMailTableModel& TableModel() { return *tableModel; }

  // Column widths and sort order from the settings file, and back.
  void LoadLayout();
  void SaveLayout();
  // A mail client's session on the mailbox at `index` ended (`removed`: it deleted mails).
  void OnMaildropCommitted(bool removed, int index);
  // Messages of these mailboxes (or of their dustboxes) were stored, removed or marked by others
  // than the list: the counts follow, and the rows when the shown mailbox is among them.
  void OnMailboxesChanged(std::span<const int> indices);
  // Rebuilds the rows when the shown mailbox no longer matches them, keeping the selected and
  // the current message selected and current wherever they are now. Nothing moves otherwise.
  void RefreshRows();

  // ---- IListWindow ----
  void ShowMessage(std::string_view text) override;
  Answer Ask(std::string_view question, Buttons buttons) override;
  std::vector<int> SelectedRows() const override;
  void SetSelection(std::span<const int> rows) override;
  void RowsChanged() override;
  void Redraw() override;
  void UpdateCounts() override;
  void ActivateMailbox(int index) override;
  void MinimiseAndHide() override;
  void EndNewMailIndication() override;
  void OpenViewer(const CMailMessage& message) override;
  bool OpenPath(const std::string& path) override;
  bool StartProgram(const ProgramCall& call) override;
  void OpenDialog(int command) override;
  void OpenProgress(std::string_view title, int maximum) override;
  // The reclassification's progress window while it is open, else nullptr.
  QProgressDialog* ProgressWindow() const { return progress.get(); }
  void StepProgress(int position, std::string_view text) override;
  void CloseProgress() override;
  void WaitWithProgress(const std::function<bool()>& finished,
                        const std::function<void()>& cancel) override;

 signals:
  // The mail counts may have changed.
  void CountsChanged();
  // The mailbox at `index` is current now; the frame's selector follows.
  void MailboxActivated(int index);
  void MinimiseAndHideRequested();
  void NewMailIndicationEnded();
  void DialogRequested(int command);
  // Selection or rows changed: enabled states of the toolbar may differ.
  void CommandStatesChanged();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void OnHeaderClicked(int column);
  void ShowSortIndicator();

  CMailboxSet& mailboxes;
  CSettings& settings;
  CQtUi& ui;
  CMailListModel list;
  CListCommands commands;
  CMailTableModel* tableModel;
  std::unique_ptr<QProgressDialog> progress;
};

}  // namespace qm
