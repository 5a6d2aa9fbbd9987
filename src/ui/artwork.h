// The program's pictures, painted at run time so that no image files need to ship.
#pragma once

#include <QPixmap>

namespace qm {

// 16 x 16, for the notification area and the window: a sealed envelope on a teal tile.
QPixmap TrayPicture();
// The title picture of the splash window.
QPixmap SplashPicture();

}  // namespace qm
