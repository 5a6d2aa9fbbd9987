#include "ui/settings_commands.h"

#include <optional>
#include <string>

#include "app/application.h"
#include "app/classification.h"
#include "app/user_interface.h"
#include "mailboxes/mailbox_set.h"
#include "ui/list_editor.h"
#include "ui/mailbox_dialog.h"
#include "ui/main_frame.h"
#include "ui/model/list_command_table.h"
#include "ui/model/mailbox_choice.h"
#include "ui/options_dialog.h"
#include "ui/orbalt_view.h"

namespace qm {

bool CSettingsCommands::Run(int command) {
  switch (command) {
    case CmdMailboxSettings:
      EditMailboxes();
      return true;
    case CmdListEditor:
      EditLists();
      return true;
    case CmdOptions:
      EditOptions();
      return true;
    default:
      return false;
  }
}

void CSettingsCommands::EditMailboxes() {
  CMailboxSet& mailboxes = program.Mailboxes();
  COrbaltView* view = frame.View();
  mailboxes.StopTimers(-1);
  std::optional<std::string> shown;
  if (view != nullptr && view->List().CurrentMailbox() != nullptr) {
    shown = view->List().CurrentMailbox()->Name();
  }
  // The dialog deletes and reorders mailboxes at once: the list lets go of its mailbox first, so
  // that nothing it paints or runs meanwhile reaches a mailbox that is gone.
  if (view != nullptr) view->ActivateMailbox(-1);

  CMailboxDialog dialog(mailboxes, ui, &frame);
  dialog.exec();

  // What the dialog deleted or moved stays so: the list follows rather than show a mailbox by a
  // stale index.
  if (view != nullptr) view->ActivateMailbox(MailboxAfterSettings(mailboxes, shown));
  frame.RefreshCounts();
  mailboxes.StartTimers(-1);
}

void CSettingsCommands::EditLists() {
  CListEditorDialog dialog(program.Classification().Lists(), program.Settings(), ui, &frame);
  dialog.exec();
  // The idle step writes the lists that changed.
  ui.PostMessage(kWakeIdle);
}

void CSettingsCommands::EditOptions() {
  COptionsDialog dialog(program.Settings(), ui, sound, &frame);
  dialog.exec();
}

}  // namespace qm
