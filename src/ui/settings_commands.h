// The settings commands of the menus: the mailbox settings, the friend/bad list editor and the
// options, each a modal dialog, with what the program does around them.
#pragma once

namespace qm {

class CApplication;
class CMainFrame;
class IUserInterface;
class ISoundPlayer;

class CSettingsCommands {
 public:
  CSettingsCommands(CApplication& core, CMainFrame& mainFrame, IUserInterface& seam,
                    ISoundPlayer& soundPlayer)
      : program(core), frame(mainFrame), ui(seam), sound(soundPlayer) {}

  // The dialog of a settings command id; false for an id that is not one.
  bool Run(int command);

  // Every retrieval timer waits while the dialog is open. Afterwards the list shows the mailbox
  // it showed before, found by its name, or the first.
  void EditMailboxes();
  void EditLists();
  void EditOptions();

 private:
  CApplication& program;
  CMainFrame& frame;
  IUserInterface& ui;
  ISoundPlayer& sound;
};

}  // namespace qm
