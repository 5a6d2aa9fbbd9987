#include "ui/command_menus.h"

#include <QAction>
#include <QGuiApplication>
#include <QMenu>
#include <QString>
#include <QVariant>

#include "ui/model/list_commands.h"

namespace qm {

int ActionCommand(const QAction& action) {
  bool ok = false;
  const int id = action.data().toInt(&ok);
  return ok ? id : kSeparatorId;
}

QAction* MakeCommandAction(const ListCommandInfo& info, CListCommands& commands, QObject* parent) {
  auto* action = new QAction(QString::fromStdString(MenuItemText(info)), parent);
  action->setData(info.id);
  action->setStatusTip(QString::fromUtf8(info.prompt));
  action->setToolTip(QString::fromStdString(ToolTipText(info)));
  // The dustbox command shows whether the dustbox is on view; only it ever reports a check.
  action->setCheckable(commands.State(info.id).checked || info.id == CmdShowDustbox);
  const int id = info.id;
  QObject::connect(action, &QAction::triggered, action, [&commands, id] {
    const Qt::KeyboardModifiers held = QGuiApplication::queryKeyboardModifiers();
    commands.Execute(id, held.testFlag(Qt::ShiftModifier), held.testFlag(Qt::ControlModifier));
  });
  return action;
}

void RefreshActions(const QList<QAction*>& actions, const CListCommands& commands) {
  for (QAction* action : actions) {
    const int id = ActionCommand(*action);
    if (id == kSeparatorId) continue;
    const CommandState state = commands.State(id);
    action->setEnabled(state.enabled);
    if (action->isCheckable()) action->setChecked(state.checked);
  }
}

QMenu* MakeCommandMenu(const ListMenu& menu, CListCommands& commands, QWidget* parent) {
  auto* result = new QMenu(QString::fromUtf8(menu.title), parent);
  for (const int id : menu.entries) {
    const ListCommandInfo* info = id == kSeparatorId ? nullptr : FindListCommand(id);
    if (info == nullptr) {
      result->addSeparator();
      continue;
    }
    result->addAction(MakeCommandAction(*info, commands, result));
  }
  QObject::connect(result, &QMenu::aboutToShow, result,
                   [result, &commands] { RefreshActions(result->actions(), commands); });
  return result;
}

}  // namespace qm
