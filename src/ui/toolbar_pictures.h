// The toolbar's pictures, one per command on it, painted in code like the rest of the program's
// artwork: 16 x 16, and twice that for screens of double density.
#pragma once

#include <QIcon>
#include <QImage>

namespace qm {

// The picture of toolbar command `command` (a ListCommandId), `size` x `size` pixels, drawn on a
// 16 x 16 grid scaled to `size`. A null image for a command that has no picture.
QImage ToolBarPicture(int command, int size);
// The 16 and 32 pixel pictures in one icon; a null icon for a command that has no picture.
QIcon ToolBarIcon(int command);

}  // namespace qm
