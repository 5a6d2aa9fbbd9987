#include "ui/orbalt_view.h"

#include <QAbstractItemView>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QEventLoop>
#include <QFileInfo>
#include <QFont>
#include <QFontMetrics>
#include <QHeaderView>
#include <QItemSelection>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QStandardPaths>
#include <QStyle>
#include <QTimer>
#include <QUrl>
#include <algorithm>

#include "app/settings.h"
#include "mailboxes/mailbox_set.h"
#include "message/mail_message.h"
#include "ui/command_menus.h"
#include "ui/mail_table_model.h"
#include "ui/mail_viewer.h"
#include "ui/model/list_settings.h"
#include "ui/qt_ui.h"

namespace qm {

namespace {

// What a message box answers when it is closed without a choice.
Answer DefaultAnswer(Buttons buttons) {
  switch (buttons) {
    case Buttons::Ok:
      return Answer::Ok;
    case Buttons::YesNo:
      return Answer::No;
    default:
      return Answer::Cancel;
  }
}

}  // namespace

int ListKeyOf(int qtKey, unsigned scanCode) {
  if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) return 'A' + (qtKey - Qt::Key_A);
  if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) return '0' + (qtKey - Qt::Key_0);
  // The number row's keys 1 to 9 and 0 have the X codes 10 to 19 on every layout.
  constexpr unsigned kFirstDigitKey = 10;
  if (scanCode >= kFirstDigitKey && scanCode < kFirstDigitKey + 10) {
    const unsigned row = scanCode - kFirstDigitKey;
    return row == 9 ? '0' : static_cast<int>('1' + row);
  }
  switch (qtKey) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return KeyEnter;
    case Qt::Key_Escape:
      return KeyEscape;
    case Qt::Key_Delete:
      return KeyDelete;
    case Qt::Key_F1:
      return KeyF1;
    default:
      return 0;
  }
}

COrbaltView::COrbaltView(CMailboxSet& mailboxSet, CSenderLists& lists, CSettings& programSettings,
                         CQtUi& qtUi, QWidget* parent)
    : QTableView(parent),
      mailboxes(mailboxSet),
      settings(programSettings),
      ui(qtUi),
      list(mailboxSet),
      commands(list, mailboxSet, lists, programSettings, *this),
      tableModel(new CMailTableModel(list, this)) {
  setObjectName(QStringLiteral("mailList"));
  setModel(tableModel);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setShowGrid(false);
  setWordWrap(false);
  setIconSize(QSize(32, 16));
  setContextMenuPolicy(Qt::DefaultContextMenu);
  verticalHeader()->hide();
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
  QHeaderView& header = *horizontalHeader();
  header.setSectionsClickable(true);
  header.setHighlightSections(false);
  header.setStretchLastSection(false);
  for (int column = 0; column < kMailColumnCount; ++column) {
    setColumnWidth(column, kMailColumns[static_cast<std::size_t>(column)].defaultWidth);
  }
  connect(&header, &QHeaderView::sectionClicked, this, &COrbaltView::OnHeaderClicked);
  connect(this, &QAbstractItemView::doubleClicked, this,
          [this] { commands.Execute(CmdViewMail, false, false); });
  connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &COrbaltView::CommandStatesChanged);
  ShowSortIndicator();
}

COrbaltView::~COrbaltView() = default;

void COrbaltView::LoadLayout() {
  const QFontMetrics headingFont = horizontalHeader()->fontMetrics();
  QFont bold = font();
  bold.setBold(true);
  const QFontMetrics cellFont(bold);
  const auto advance = [](const QFontMetrics& font, std::string_view text) {
    return font.horizontalAdvance(
        QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
  };
  const int headingExtra = 2 * style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, this) +
                           style()->pixelMetric(QStyle::PM_HeaderMarkSize, nullptr, this);
  const ListFontMetrics metrics{
      [&](std::string_view text) { return advance(headingFont, text) + headingExtra; },
      [&](std::string_view text) { return advance(cellFont, text); },
      2 * style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 8,
      iconSize().width() + 4};
  // Widths the user set stay; the designed ones were meant for a smaller font than desktops use
  // today.
  const ColumnWidths widths = ColumnWidthsSaved(settings.Profile())
                                  ? LoadColumnWidths(settings.Profile())
                                  : FitDefaultWidths(metrics);
  for (int column = 0; column < kMailColumnCount; ++column) {
    setColumnWidth(column, widths[static_cast<std::size_t>(column)]);
  }
  list.SetSort(LoadMailListSort(settings.Profile()));
  ShowSortIndicator();
  list.UpdateList();
  RowsChanged();
  SetSelection({});
}

void COrbaltView::SaveLayout() {
  ColumnWidths widths{};
  for (int column = 0; column < kMailColumnCount; ++column) {
    widths[static_cast<std::size_t>(column)] = columnWidth(column);
  }
  SaveColumnWidths(settings.Profile(), widths);
  SaveMailListSort(settings.Profile(), list.Sort());
}

void COrbaltView::OnMaildropCommitted(bool removed, int index) {
  // The message names a main mailbox even when the session was on its dustbox, so the rows are
  // checked whichever of the two is shown.
  if (!removed) return;
  if (index == list.CurrentIndex()) RefreshRows();
  UpdateCounts();
}

void COrbaltView::OnMailboxesChanged(std::span<const int> indices) {
  if (std::find(indices.begin(), indices.end(), list.CurrentIndex()) != indices.end()) {
    RefreshRows();
  }
  UpdateCounts();
}

void COrbaltView::RefreshRows() {
  std::vector<std::uint64_t> selected;
  for (const int row : SelectedRows()) {
    if (row >= 0 && row < list.RowCount()) {
      selected.push_back(list.Rows()[static_cast<std::size_t>(row)].serial);
    }
  }
  const int currentRow = currentIndex().row();
  const std::uint64_t current = currentRow >= 0 && currentRow < list.RowCount()
                                    ? list.Rows()[static_cast<std::size_t>(currentRow)].serial
                                    : 0;
  if (!list.Refresh()) return;
  RowsChanged();
  std::vector<int> rows;
  for (const std::uint64_t serial : selected) {
    const int row = list.FindSerial(serial);
    if (row >= 0) rows.push_back(row);
  }
  SetSelection(rows);
  const int newCurrent = current != 0 ? list.FindSerial(current) : -1;
  if (newCurrent >= 0) {
    selectionModel()->setCurrentIndex(tableModel->index(newCurrent, 0),
                                      QItemSelectionModel::NoUpdate);
  }
}

void COrbaltView::OnHeaderClicked(int column) {
  // The same mails stay selected wherever the sort puts them.
  std::vector<int> numbers;
  std::vector<int> rows;
  const std::vector<int> selected = SelectedRows();
  list.GetSelectedMails(selected, numbers, rows);
  list.OnHeaderClick(column);
  ShowSortIndicator();
  RowsChanged();
  std::vector<int> after;
  for (const int number : numbers) after.push_back(list.FindRow(number));
  SetSelection(after);
}

void COrbaltView::ShowSortIndicator() {
  const MailListSort sort = list.Sort();
  horizontalHeader()->setSortIndicatorShown(true);
  horizontalHeader()->setSortIndicator(sort.column,
                                       sort.reverse ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void COrbaltView::ShowMessage(std::string_view text) { ui.ShowMessage(text); }

Answer COrbaltView::Ask(std::string_view question, Buttons buttons) {
  return ui.Ask(question, buttons, DefaultAnswer(buttons));
}

std::vector<int> COrbaltView::SelectedRows() const {
  std::vector<int> rows;
  for (const QModelIndex& index : selectionModel()->selectedRows()) rows.push_back(index.row());
  std::sort(rows.begin(), rows.end());
  return rows;
}

void COrbaltView::SetSelection(std::span<const int> rows) {
  QItemSelection selection;
  const int last = tableModel->columnCount() - 1;
  int first = -1;
  for (const int row : rows) {
    if (row < 0 || row >= tableModel->rowCount()) continue;
    selection.select(tableModel->index(row, 0), tableModel->index(row, last));
    if (first < 0 || row < first) first = row;
  }
  selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
  if (first >= 0) {
    selectionModel()->setCurrentIndex(tableModel->index(first, 0), QItemSelectionModel::NoUpdate);
  }
  emit CommandStatesChanged();
}

void COrbaltView::RowsChanged() { tableModel->Reset(); }

void COrbaltView::Redraw() {
  tableModel->RefreshAll();
  emit CommandStatesChanged();
}

void COrbaltView::UpdateCounts() { emit CountsChanged(); }

void COrbaltView::ActivateMailbox(int index) {
  list.SelectMailbox(index);
  RowsChanged();
  SetSelection({});
  emit MailboxActivated(index);
  UpdateCounts();
}

void COrbaltView::MinimiseAndHide() { emit MinimiseAndHideRequested(); }

void COrbaltView::EndNewMailIndication() { emit NewMailIndicationEnded(); }

void COrbaltView::OpenViewer(const CMailMessage& message) {
  OpenMailViewer(message, settings.Profile(), window());
}

bool COrbaltView::OpenPath(const std::string& path) {
  const QFileInfo file(QString::fromStdString(path));
  if (!file.exists()) return false;
  // A program is started; anything else goes to the program the desktop opens it with.
  if (file.isFile() && file.isExecutable()) {
    return QProcess::startDetached(file.absoluteFilePath(), {});
  }
  return QDesktopServices::openUrl(QUrl::fromLocalFile(file.absoluteFilePath()));
}

bool COrbaltView::StartProgram(const ProgramCall& call) {
  const QString named = QString::fromStdString(call.program);
  const QString program = named.contains(u'/') ? named : QStandardPaths::findExecutable(named);
  if (program.isEmpty()) return false;
  QStringList arguments;
  for (const std::string& argument : call.arguments) arguments << QString::fromStdString(argument);
  return QProcess::startDetached(program, arguments);
}

void COrbaltView::OpenDialog(int command) { emit DialogRequested(command); }

void COrbaltView::OpenProgress(std::string_view title, int maximum) {
  progress = std::make_unique<QProgressDialog>(this);
  progress->setWindowTitle(QString::fromUtf8(title.data(), static_cast<qsizetype>(title.size())));
  progress->setWindowModality(Qt::WindowModal);
  auto* cancel = new QPushButton(QStringLiteral("キャンセル"), progress.get());
  progress->setCancelButton(cancel);
  // The dialog would hide itself at once; it stays, saying so, until the work has stopped.
  disconnect(progress.get(), &QProgressDialog::canceled, progress.get(), &QProgressDialog::cancel);
  progress->setRange(0, maximum);
  progress->setMinimumDuration(0);
  progress->setAutoClose(false);
  progress->setAutoReset(false);
  progress->setValue(0);
  progress->show();
}

void COrbaltView::StepProgress(int position, std::string_view text) {
  if (!progress) return;
  progress->setLabelText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
  progress->setValue(position);
}

void COrbaltView::CloseProgress() { progress.reset(); }

void COrbaltView::WaitWithProgress(const std::function<bool()>& finished,
                                   const std::function<void()>& cancel) {
  if (finished()) return;
  QEventLoop loop;
  QTimer poll;
  connect(&poll, &QTimer::timeout, &loop, [&] {
    if (finished()) loop.quit();
  });
  if (progress) {
    connect(progress.get(), &QProgressDialog::canceled, &loop, [this, &cancel] {
      cancel();
      progress->setLabelText(QStringLiteral("中止しています…"));
      if (auto* button = progress->findChild<QPushButton*>()) button->setEnabled(false);
    });
  }
  poll.start(20);
  loop.exec();
}

void COrbaltView::keyPressEvent(QKeyEvent* event) {
  const int key = ListKeyOf(event->key(), event->nativeScanCode());
  const Qt::KeyboardModifiers held = event->modifiers();
  if (key != 0 &&
      commands.OnKey(key, held.testFlag(Qt::ShiftModifier), held.testFlag(Qt::ControlModifier),
                     event->isAutoRepeat() ? 2 : 1)) {
    event->accept();
    return;
  }
  QTableView::keyPressEvent(event);
}

void COrbaltView::mousePressEvent(QMouseEvent* event) {
  EndNewMailIndication();
  QTableView::mousePressEvent(event);
}

void COrbaltView::contextMenuEvent(QContextMenuEvent* event) {
  EndNewMailIndication();
  QMenu menu(QString::fromUtf8(kContextMenuTitle), this);
  const std::span<const ListMenu> menus = MainMenus();
  const std::size_t count = std::min<std::size_t>(kContextMenuCount, menus.size());
  for (std::size_t i = 0; i < count; ++i) {
    menu.addMenu(MakeCommandMenu(menus[i], commands, &menu));
  }
  menu.exec(event->globalPos());
}

}  // namespace qm
