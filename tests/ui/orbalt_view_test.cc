#include "ui/orbalt_view.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/settings.h"
#include "classify/sender_lists.h"
#include "desktop_workdir.h"
#include "mailboxes/mailbox_set.h"
#include "message/mail_message.h"
#include "platform/profile.h"
#include "ui/mail_table_model.h"
#include "ui/main_frame.h"
#include "ui/model/frame_texts.h"
#include "ui/qt_ui.h"

namespace qm {

class OrbaltViewTest : public QObject, protected CDesktopWorkdir {
  Q_OBJECT

 private:
  CMailbox& AddMailbox(const std::string& name, const std::vector<std::string>& subjects) {
    const int index = set->Add(name);
    if (index < 0) qFatal("no mailbox %s", name.c_str());
    CMailbox& mailbox = *set->Get(index);
    for (const std::string& subject : subjects) {
      CMailMessage message;
      message.Parse("From: " + subject + "@example.org\r\nSubject: " + subject +
                    "\r\n\r\nbody\r\n.\r\n");
      message.mark.SetClassification(VerdictUnclassified, 0);
      if (mailbox.AppendMessage(message) <= 0) qFatal("not stored");
    }
    return mailbox;
  }
  static QStringList Column(COrbaltView& view, int column) {
    QStringList texts;
    QAbstractItemModel& model = *view.model();
    for (int row = 0; row < model.rowCount(); ++row) {
      texts << model.data(model.index(row, column)).toString();
    }
    return texts;
  }
  static QStringList StoredSubjects(const CMailbox& mailbox) {
    QStringList subjects;
    for (int n = 1; n <= mailbox.MessageCount(); ++n) {
      subjects << QString::fromStdString(mailbox.Summary(n).subject);
    }
    return subjects;
  }
  std::unique_ptr<COrbaltView> MakeView(int mailbox) {
    auto view = std::make_unique<COrbaltView>(*set, lists, *settings, *ui);
    view->ActivateMailbox(mailbox);
    view->resize(800, 400);
    view->show();
    if (!QTest::qWaitForWindowExposed(view.get())) qFatal("not exposed");
    return view;
  }
  static QAction* FindAction(const QList<QAction*>& actions, int command) {
    for (QAction* action : actions) {
      if (action->data().toInt() == command) return action;
    }
    return nullptr;
  }

 private slots:
  void init() { OpenWorkdir(); }
  void cleanup() { CloseWorkdir(); }

  // The rows and their order are the model's; the view shows them with numbers to the right, the
  // icons drawn and unread mail in bold.
  void ShowsTheRowsWithNumbersIconsAndBoldUnreadMail() {
    AddMailbox("a", {"m1", "m2", "m3"});
    auto view = MakeView(0);
    QAbstractItemModel& model = *view->model();
    QCOMPARE(Column(*view, 2), QStringList({"m1", "m2", "m3"}));
    const QModelIndex number = model.index(0, 0);
    QVERIFY(model.data(number, Qt::TextAlignmentRole).value<Qt::Alignment>() & Qt::AlignRight);
    QVERIFY(!(model.data(model.index(0, 2), Qt::TextAlignmentRole).value<Qt::Alignment>() &
              Qt::AlignRight));
    QVERIFY(!model.data(number, Qt::DecorationRole).value<QPixmap>().isNull());
    QVERIFY(model.data(number, Qt::FontRole).value<QFont>().bold());
  }

  // Without widths of the user's, every column shows its heading and a whole date.
  void DefaultColumnsShowTheirWholeContent() {
    AddMailbox("a", {"m1"});
    auto view = MakeView(0);
    view->LoadLayout();
    const QFontMetrics heading = view->horizontalHeader()->fontMetrics();
    for (int column = 0; column < kMailColumnCount; ++column) {
      QVERIFY(view->columnWidth(column) >
              heading.horizontalAdvance(QString::fromUtf8(kMailColumns[column].heading)));
    }
    QVERIFY(view->columnWidth(ColumnDate) >
            view->fontMetrics().horizontalAdvance(QStringLiteral("2024 03/04 09:12:34")));
  }

  // What a key does is the commands'; the view hands it on once, with Shift, not while held.
  void KeyDDeletesTheSelectedRowAndAHeldKeyDoesNotRepeat() {
    CMailbox& a = AddMailbox("a", {"m1", "m2", "m3"});
    auto view = MakeView(0);
    const int selected[] = {1};
    view->SetSelection(selected);
    QTest::keyClick(view.get(), Qt::Key_D);
    QCOMPARE(Column(*view, 2), QStringList({"m1", "m3"}));
    QCOMPARE(StoredSubjects(*a.Dustbox()), QStringList({"m2"}));
    view->SetSelection(selected);
    QKeyEvent repeated(QEvent::KeyPress, Qt::Key_D, Qt::NoModifier, QString(), true);
    QApplication::sendEvent(view.get(), &repeated);
    QCOMPARE(view->model()->rowCount(), 2);
    QTest::keyClick(view.get(), Qt::Key_G);
    QTest::keyClick(view.get(), Qt::Key_A);
    QTest::keyClick(view.get(), Qt::Key_D, Qt::ShiftModifier);
    QCOMPARE(a.Dustbox()->MessageCount(), 0);
    QVERIFY(answers.texts.empty());
  }

  // Shift with a digit picks the mailbox as the digit alone does, whatever symbol the layout
  // prints on the key (US "@", Japanese "\"" over 2).
  void ShiftWithADigitKeyActivatesItsMailbox_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("scanCode");
    QTest::newRow("digit") << int(Qt::Key_2) << 0;
    QTest::newRow("us layout") << int(Qt::Key_At) << 11;
    QTest::newRow("japanese layout") << int(Qt::Key_QuoteDbl) << 11;
    QTest::newRow("zero is the tenth") << int(Qt::Key_ParenRight) << 19;
  }
  void ShiftWithADigitKeyActivatesItsMailbox() {
    QFETCH(int, key);
    QFETCH(int, scanCode);
    for (int i = 0; i < 10; ++i) AddMailbox("box" + std::to_string(i), {"in " + std::to_string(i)});
    auto view = MakeView(0);
    QKeyEvent press(QEvent::KeyPress, key, Qt::ShiftModifier, static_cast<quint32>(scanCode), 0, 0);
    QApplication::sendEvent(view.get(), &press);
    QCOMPARE(Column(*view, 2), QStringList({scanCode == 19 ? "in 9" : "in 1"}));
  }

  void AClientsDeletionsRebuildTheShownList() {
    CMailbox& a = AddMailbox("a", {"m1", "m2", "m3"});
    AddMailbox("b", {"x"});
    auto view = MakeView(0);
    a.RemoveMessage(1, nullptr);
    view->OnMaildropCommitted(true, 1);
    QCOMPARE(view->model()->rowCount(), 3);
    view->OnMaildropCommitted(false, 0);
    QCOMPARE(view->model()->rowCount(), 3);
    view->OnMaildropCommitted(true, 0);
    QCOMPARE(Column(*view, 2), QStringList({"m2", "m3"}));

    // A session on the dustbox is reported under its mailbox's index.
    view->List().ShowDustbox(true);
    view->RowsChanged();
    a.RemoveMessage(1, a.Dustbox());
    a.RemoveMessage(1, a.Dustbox());
    view->List().UpdateList();
    view->RowsChanged();
    QCOMPARE(view->model()->rowCount(), 2);
    a.Dustbox()->RemoveMessage(1, nullptr);
    view->OnMaildropCommitted(true, 0);
    QCOMPARE(view->model()->rowCount(), 1);
  }

  void HeaderClickTwiceSortsDescending() {
    AddMailbox("a", {"b", "c", "a"});
    auto view = MakeView(0);
    const int selected[] = {0};
    view->SetSelection(selected);
    QHeaderView& header = *view->horizontalHeader();
    const QPoint subject(header.sectionViewportPosition(2) + 10, header.height() / 2);
    QTest::mouseClick(header.viewport(), Qt::LeftButton, {}, subject);
    QCOMPARE(Column(*view, 2), QStringList({"a", "b", "c"}));
    QTest::mouseClick(header.viewport(), Qt::LeftButton, {}, subject);
    QCOMPARE(Column(*view, 2), QStringList({"c", "b", "a"}));
    QCOMPARE(Column(*view, 0), QStringList({"2", "1", "3"}));
    QCOMPARE(header.sortIndicatorOrder(), Qt::DescendingOrder);
    // Mail 1 ("b") stays selected where the sort put it.
    QCOMPARE(view->SelectedRows(), std::vector<int>({1}));
  }

  void FrameMenusAndToolbarComeFromTheCommands() {
    // "受信箱" in code page 932, as a working directory carried over may name it; names made here
    // are UTF-8.
    AddMailbox("\x8e\xf3\x90\x4d\x94\xa0", {"m1"});
    AddMailbox("仕事", {});
    CMainFrame frame(*settings);
    auto* view = new COrbaltView(*set, lists, *settings, *ui);
    view->ActivateMailbox(0);
    frame.AttachView(*view);
    QCOMPARE(frame.centralWidget(), view);

    QCOMPARE(frame.menuBar()->actions().size(), 6);
    QMenu& mail = *frame.menuBar()->actions()[0]->menu();
    QAction* dustbox = FindAction(mail.actions(), CmdShowDustbox);
    QCOMPARE(dustbox->text(), QStringLiteral("ごみ箱を見る(&G)\tG"));

    // States are refreshed as the menu is about to show.
    view->List().ShowDustbox(true);
    emit mail.aboutToShow();
    QVERIFY(dustbox->isChecked());
    view->List().ShowDustbox(false);
    emit mail.aboutToShow();
    QVERIFY(!dustbox->isChecked());

    QCOMPARE(frame.MailboxSelector().count(), 2);
    QCOMPARE(frame.MailboxSelector().currentIndex(), 0);
    QCOMPARE(frame.MailboxSelector().itemText(0), QStringLiteral("1 ( 1 ) - 0 ( 0 ) 受信箱"));
    QCOMPARE(frame.MailboxSelector().itemText(1), QStringLiteral("0 ( 0 ) - 0 ( 0 ) 仕事"));
  }
};

}  // namespace qm

QTEST_MAIN(qm::OrbaltViewTest)
#include "orbalt_view_test.moc"
