// Menus and toolbar actions made from the list's command tables. No real key sequences are
// registered: the keys reach the commands through the list's key handling, and the text after
// the tab only tells the user about them.
#pragma once

#include <QList>

#include "ui/model/list_command_table.h"

class QAction;
class QMenu;
class QObject;
class QWidget;

namespace qm {

class CListCommands;

// The id a command's action carries in QAction::data().
int ActionCommand(const QAction& action);

// An action for the command: "label\tshortcut", the status-bar prompt, and the command run with
// the modifier keys held at the moment it is chosen.
QAction* MakeCommandAction(const ListCommandInfo& info, CListCommands& commands, QObject* parent);

// Sets enabled and checked from CListCommands::State.
void RefreshActions(const QList<QAction*>& actions, const CListCommands& commands);

// The menu, refreshed each time before it shows.
QMenu* MakeCommandMenu(const ListMenu& menu, CListCommands& commands, QWidget* parent);

}  // namespace qm
