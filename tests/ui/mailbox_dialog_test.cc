#include "ui/mailbox_dialog.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>
#include <string>
#include <vector>

#include "desktop_workdir.h"
#include "store/mailbox.h"
#include "ui/create_mailbox_dialog.h"
#include "ui/model/mailbox_pages.h"
#include "ui/property_sheet.h"

namespace qm {

using Texts = std::vector<std::string>;

// What the buttons do to the mailboxes is tested in the model's tests; here, that the widgets
// reach it and show what it did.
class MailboxDialogTest : public QObject, protected CDesktopWorkdir {
  Q_OBJECT

 private:
  void AddMailboxes(const Texts& names) {
    for (const std::string& name : names) {
      if (set->Add(name) < 0) qFatal("no mailbox");
    }
  }
  static QStringList Rows(const CMailboxDialog& dialog) {
    QStringList rows;
    for (int row = 0; row < dialog.List()->topLevelItemCount(); ++row) {
      rows << dialog.List()->topLevelItem(row)->text(0);
    }
    return rows;
  }
  QString Saved() const {
    return QString::fromStdString(
        profile->GetString(CMailboxSet::kListSection, CMailboxSet::kListKey, "none"));
  }

 private slots:
  void init() { OpenWorkdir(); }
  void cleanup() { CloseWorkdir(); }

  // A refused name leaves the creation dialog open to be put right; Cancel creates nothing.
  void AddRunsTheCreationDialogUntilTheNameIsGood() {
    CMailboxDialog dialog(*set, *ui);
    bool stayedOpen = false;
    dialog.SetDialogRunner([&](QDialog& shown) {
      auto& creation = dynamic_cast<CCreateMailboxDialog&>(shown);
      creation.NameField()->setText(QStringLiteral("a:b"));
      creation.OkButton()->click();
      stayedOpen = shown.result() == QDialog::Rejected;
      creation.NameField()->setText(QStringLiteral(" ok "));
      creation.OkButton()->click();
      return shown.result();
    });
    dialog.AddButton()->click();
    QVERIFY(stayedOpen);
    QCOMPARE(answers.texts, Texts{ForbiddenCharactersText()});
    QCOMPARE(Rows(dialog), QStringList{QStringLiteral("ok")});
    dialog.SetDialogRunner([](QDialog& shown) {
      dynamic_cast<CCreateMailboxDialog&>(shown).CancelButton()->click();
      return shown.result();
    });
    dialog.AddButton()->click();
    QCOMPARE(set->Count(), 1);
  }

  void DeleteAndMoveButtonsRefillTheListAndKeepTheSelection() {
    AddMailboxes({"a", "b", "c"});
    CMailboxDialog dialog(*set, *ui);
    dialog.Select(2);
    dialog.UpButton()->click();
    QCOMPARE(Rows(dialog), QStringList({"a", "c", "b"}));
    QCOMPARE(dialog.Selected(), 1);
    dialog.DownButton()->click();
    QCOMPARE(dialog.Selected(), 2);
    answers.queue = {Answer::Ok};
    dialog.DeleteButton()->click();
    QCOMPARE(Rows(dialog), QStringList({"a", "b"}));
    QCOMPARE(answers.texts.size(), std::size_t{1});
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
    dialog.PropertiesButton()->click();
    QVERIFY(title.isEmpty());
    QCOMPARE(answers.texts, Texts{kSelectMailboxText});
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
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.Select(1);
    dialog.UpButton()->click();
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QVERIFY(dialog.isHidden());
    QCOMPARE(Saved(), QStringLiteral("b:a:"));
    dialog.show();
    dialog.Select(1);
    dialog.UpButton()->click();
    dialog.close();
    QCOMPARE(Saved(), QStringLiteral("a:b:"));
    dialog.show();
    dialog.Select(1);
    dialog.UpButton()->click();
    dialog.CloseButton()->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(Saved(), QStringLiteral("b:a:"));
    QVERIFY(answers.texts.empty());
  }
};

}  // namespace qm

QTEST_MAIN(qm::MailboxDialogTest)
#include "mailbox_dialog_test.moc"
