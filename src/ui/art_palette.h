// The colours and the envelope that the program's pictures share, so that the toolbar, the mail
// list and the tray speak the same visual language.
#pragma once

#include <QColor>
#include <QPainter>
#include <QRectF>

namespace qm::art {

inline constexpr QColor kTeal(0x1f, 0x7a, 0x8c);
inline constexpr QColor kPaper(0xfb, 0xf8, 0xf0);
inline constexpr QColor kInk(0x23, 0x2f, 0x3e);
inline constexpr QColor kSealRed(0xc0, 0x39, 0x2b);
// The verdict tiles' colours: friend, spam, bad, not yet classified.
inline constexpr QColor kFriendGreen(0x2e, 0x8b, 0x57);
inline constexpr QColor kSpamAmber(0xd3, 0x8b, 0x1f);
inline constexpr QColor kBadRed(0xb0, 0x2a, 0x2a);
inline constexpr QColor kNeutralGrey(0x8a, 0x8f, 0x98);

// An envelope in `frame`: the body, the closed flap, and a small red seal where they meet.
void PaintEnvelope(QPainter& painter, const QRectF& frame, qreal pen);

}  // namespace qm::art
