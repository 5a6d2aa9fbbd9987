#include "ui/mailbox_dialog.h"

#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "desktop_workdir.h"
#include "platform/file_io.h"
#include "store/mailbox.h"
#include "ui/create_mailbox_dialog.h"
#include "ui/model/mailbox_pages.h"
#include "ui/property_pages.h"
#include "ui/property_sheet.h"

namespace qm {

using Texts = std::vector<std::string>;

class MailboxDialogTest : public QObject, protected CDesktopWorkdir {
  Q_OBJECT

 private:
  void AddMailboxes(const Texts& names) {
    for (const std::string& name : names) {
      if (set->Add(name) < 0) qFatal("no mailbox");
    }
  }
  Texts Names() const {
    Texts names;
    for (int i = 0; i < set->Count(); ++i) names.push_back(set->Get(i)->Name());
    return names;
  }
  static QStringList Rows(const CMailboxDialog& dialog) {
    QStringList rows;
    for (int row = 0; row < dialog.List()->topLevelItemCount(); ++row) {
      rows << dialog.List()->topLevelItem(row)->text(0);
    }
    return rows;
  }
  // The creation dialog, answered by typing each of `typed` in turn and pressing OK, or
  // "ｷｬﾝｾﾙ" when `typed` is empty.
  static void AnswerCreation(CMailboxDialog& dialog, const std::vector<QString>& typed) {
    dialog.SetDialogRunner([typed](QDialog& shown) {
      auto& creation = dynamic_cast<CCreateMailboxDialog&>(shown);
      if (typed.empty()) creation.CancelButton()->click();
      for (const QString& text : typed) {
        creation.NameField()->setText(text);
        creation.OkButton()->click();
      }
      return shown.result();
    });
  }

 private slots:
  void init() { OpenWorkdir(); }
  void cleanup() {
    SetFileFaultInjector(nullptr);
    CloseWorkdir();
  }

  void ShowsTheMailboxesAndTheButtons() {
    AddMailboxes({"a", "b"});
    CMailboxDialog dialog(*set, *ui);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("メールボックスの設定"));
    QCOMPARE(dialog.List()->headerItem()->text(0), QStringLiteral("メールボックス名"));
    QCOMPARE(dialog.List()->columnCount(), 1);
    QCOMPARE(dialog.List()->columnWidth(0), 300);
    QCOMPARE(Rows(dialog), QStringList({QStringLiteral("a"), QStringLiteral("b")}));
    QCOMPARE(dialog.Selected(), -1);
    QCOMPARE(dialog.AddButton()->text(), QStringLiteral("追加(&A)"));
    QCOMPARE(dialog.DeleteButton()->text(), QStringLiteral("削除(&R)"));
    QCOMPARE(dialog.PropertiesButton()->text(), QStringLiteral("プロパティ(&P)"));
    QCOMPARE(dialog.UpButton()->text(), QStringLiteral("順番 上(&U)"));
    QCOMPARE(dialog.DownButton()->text(), QStringLiteral("順番 下(&D)"));
    QCOMPARE(dialog.CloseButton()->text(), QStringLiteral("閉じる"));

    CCreateMailboxDialog creation(*ui);
    QCOMPARE(creation.windowTitle(), QStringLiteral("メールボックスの作成"));
    QCOMPARE(creation.NameField()->text(), QString());
    QCOMPARE(creation.OkButton()->text(), QStringLiteral("OK"));
    QCOMPARE(creation.CancelButton()->text(), QStringLiteral("ｷｬﾝｾﾙ"));
  }

  void CreationRefusesBadNamesAndStaysOpen_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("message");
    const QString invalid = QString::fromUtf8(kInvalidNameText);
    const QString forbidden = QString::fromStdString(ForbiddenCharactersText());
    QTest::newRow("empty") << QString() << invalid;
    QTest::newRow("blanks") << QStringLiteral("  \t ") << invalid;
    // Each forbidden character is checked in the tests of the rules.
    QTest::newRow("colon") << QStringLiteral("a:b") << forbidden;
  }
  void CreationRefusesBadNamesAndStaysOpen() {
    QFETCH(QString, typed);
    QFETCH(QString, message);
    CMailboxDialog dialog(*set, *ui);
    bool stayedOpen = false;
    dialog.SetDialogRunner([&](QDialog& shown) {
      auto& creation = dynamic_cast<CCreateMailboxDialog&>(shown);
      creation.NameField()->setText(typed);
      creation.OkButton()->click();
      stayedOpen = shown.result() == QDialog::Rejected;
      // The name can be put right in the same dialog.
      creation.NameField()->setText(QStringLiteral(" ok "));
      creation.OkButton()->click();
      return shown.result();
    });
    dialog.AddButton()->click();
    QVERIFY(stayedOpen);
    QCOMPARE(answers.texts, Texts{message.toStdString()});
    QCOMPARE(Names(), Texts{"ok"});
    QCOMPARE(Rows(dialog), QStringList{QStringLiteral("ok")});
  }

  void CancelledCreationCreatesNothing() {
    CMailboxDialog dialog(*set, *ui);
    AnswerCreation(dialog, {});
    dialog.AddButton()->click();
    QCOMPARE(set->Count(), 0);
    QVERIFY(answers.texts.empty());
  }

  void ExistingFilesAreImportedOnlyWhenWanted() {
    {
      std::ofstream file("old.mbx", std::ios::binary);
      file << "Subject: kept\r\n\r\nbody\r\n.\r\n";
    }
    CMailboxDialog dialog(*set, *ui);
    AnswerCreation(dialog, {QStringLiteral("old")});
    answers.queue = {Answer::No};
    dialog.AddButton()->click();
    QCOMPARE(answers.texts, Texts{kImportQuestion});
    QCOMPARE(answers.buttons[0], Buttons::YesNo);
    QCOMPARE(set->Count(), 0);

    answers.queue = {Answer::Yes};
    dialog.AddButton()->click();
    QCOMPARE(Names(), Texts{"old"});
    QCOMPARE(set->MessageCount(0), 1);
    QCOMPARE(Rows(dialog), QStringList{QStringLiteral("old")});
  }

  void CreationFailuresAreShown() {
    AddMailboxes({"a"});
    CMailboxDialog dialog(*set, *ui);
    AnswerCreation(dialog, {QStringLiteral("a")});
    answers.queue = {Answer::Yes};
    dialog.AddButton()->click();
    AnswerCreation(dialog, {QString(300, u'n')});
    dialog.AddButton()->click();
    QCOMPARE(answers.texts, (Texts{kImportQuestion, kNameInUseText, kCannotCreateText}));
    QCOMPARE(Names(), Texts{"a"});
  }

  void MovesUpAndDownWithinTheList() {
    AddMailboxes({"a", "b", "c"});
    CMailboxDialog dialog(*set, *ui);
    dialog.Select(0);
    dialog.UpButton()->click();
    QCOMPARE(Names(), (Texts{"a", "b", "c"}));
    dialog.Select(2);
    dialog.DownButton()->click();
    QCOMPARE(Names(), (Texts{"a", "b", "c"}));
    dialog.UpButton()->click();
    QCOMPARE(Names(), (Texts{"a", "c", "b"}));
    QCOMPARE(dialog.Selected(), 1);
    dialog.UpButton()->click();
    QCOMPARE(Names(), (Texts{"c", "a", "b"}));
    QCOMPARE(dialog.Selected(), 0);
    dialog.DownButton()->click();
    QCOMPARE(Names(), (Texts{"a", "c", "b"}));
    QCOMPARE(dialog.Selected(), 1);
    QCOMPARE(Rows(dialog),
             QStringList({QStringLiteral("a"), QStringLiteral("c"), QStringLiteral("b")}));
    QVERIFY(answers.texts.empty());
  }

  void DeletesAfterOkOnly() {
    AddMailboxes({"a", "b"});
    CMailboxDialog dialog(*set, *ui);
    dialog.DeleteButton()->click();
    QVERIFY(answers.texts.empty());

    dialog.Select(1);
    answers.queue = {Answer::Cancel};
    dialog.DeleteButton()->click();
    QCOMPARE(Names(), (Texts{"a", "b"}));
    answers.queue = {Answer::Ok};
    dialog.DeleteButton()->click();
    QCOMPARE(Names(), Texts{"a"});
    QCOMPARE(Rows(dialog), QStringList{QStringLiteral("a")});
    QVERIFY(!std::filesystem::exists("b.mbx"));
    const std::string question =
        "b を削除してもよろしいですか？\r\nメールボックスに入っているメールも削除されます。";
    QCOMPARE(answers.texts, Texts(2, question));
    QCOMPARE(answers.buttons[0], Buttons::OkCancel);
  }

  void PropertiesNeedASelection() {
    AddMailboxes({"a"});
    CMailboxDialog dialog(*set, *ui);
    int sheets = 0;
    dialog.SetDialogRunner([&sheets](QDialog&) {
      ++sheets;
      return int(QDialog::Rejected);
    });
    dialog.PropertiesButton()->click();
    QCOMPARE(answers.texts, Texts{kSelectMailboxText});
    QCOMPARE(sheets, 0);
  }

  void PropertiesSaveTheMailboxWhateverTheButton() {
    AddMailboxes({"a", "b"});
    CMailbox& mailbox = *set->Get(1);
    CMailboxDialog dialog(*set, *ui);
    QString title;
    dialog.SetDialogRunner([&title](QDialog& shown) {
      auto& sheet = dynamic_cast<CPropertySheet&>(shown);
      title = sheet.windowTitle();
      sheet.CancelButton()->click();
      return sheet.result();
    });
    mailbox.MarkConfigDirty();
    std::filesystem::remove("b.cfg");
    dialog.Select(1);
    dialog.PropertiesButton()->click();
    QCOMPARE(title, QStringLiteral("bのプロパティ"));
    QVERIFY(!mailbox.ConfigDirty());
    QVERIFY(std::filesystem::exists("b.cfg"));
    QCOMPARE(dialog.Selected(), 1);
  }

  // A mailbox made at the first start must not be gone at the next, whichever way the dialog
  // was closed.
  void EveryWayOfClosingSavesTheList() {
    AddMailboxes({"a", "b"});
    CMailboxDialog dialog(*set, *ui);
    const auto saved = [this] {
      return profile->GetString(CMailboxSet::kListSection, CMailboxSet::kListKey, "none");
    };
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.Select(1);
    dialog.UpButton()->click();
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(dialog.isHidden());
    QCOMPARE(saved(), std::string("b:a:"));

    dialog.show();
    dialog.Select(1);
    dialog.UpButton()->click();
    dialog.close();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(saved(), std::string("a:b:"));

    dialog.show();
    dialog.Select(1);
    dialog.UpButton()->click();
    dialog.CloseButton()->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(saved(), std::string("b:a:"));
    QVERIFY(answers.texts.empty());
  }

  void AListThatCannotBeSavedIsReported() {
    AddMailboxes({"a"});
    CMailboxDialog dialog(*set, *ui);
    SetFileFaultInjector([](FileOperation op) { return op == FileOperation::Rename; });
    dialog.CloseButton()->click();
    SetFileFaultInjector(nullptr);
    QCOMPARE(answers.texts, Texts{kListNotSavedText});
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
  }
};

}  // namespace qm

QTEST_MAIN(qm::MailboxDialogTest)
#include "mailbox_dialog_test.moc"
