// The program's pictures, painted in code so that no image files are kept: the program paints
// its own at run time, and the build paints the icons it installs (qm_paint_icons).
#pragma once

#include <QImage>
#include <QPixmap>

namespace qm {

// 16 x 16, for the notification area and the window: a sealed envelope on a teal tile.
QPixmap TrayNormalPicture();
// The same picture as the program's icon, `size` x `size` pixels. An image rather than a pixmap,
// so that it can be painted without a display (the build paints the installed icons with it).
QImage ApplicationIcon(int size);
// The tray while new mail waits: the same envelope on a warm tile, and the phase between both.
QPixmap TrayNewMailPicture();
QPixmap TrayInBetweenPicture();
// The title picture of the splash window.
QPixmap SplashPicture();

// The mail list's icons, 16 x 16: one per verdict image (friend, spam, bad, not yet classified)
// and one per state image (read and hidden, unread, unread and hidden). Out-of-range indices
// give a null pixmap: nothing is drawn.
QPixmap VerdictPicture(int verdictImage);
QPixmap StatePicture(int stateImage);
// Both side by side (state left, verdict right), 32 x 16, for the list's first column.
QPixmap RowPicture(int verdictImage, int stateImage);
// The notification window's icon for mail of no other class; not the list's unclassified icon.
QPixmap NotifyOtherPicture();

}  // namespace qm
