// Pictures of the program's windows for the documentation. When the environment variable
// QM_SCREENSHOTS names a folder, the desktop saves PNG files of its windows there shortly after
// start-up and then ends; otherwise nothing happens.
#pragma once

namespace qm {

class CApplication;
class CMainFrame;
class COrbaltView;
class IUserInterface;

// `ui` answers the dialogs' questions; none is asked while the pictures are taken.
void ScheduleScreenshots(CMainFrame& frame, COrbaltView& view, CApplication& program,
                         IUserInterface& ui);

}  // namespace qm
