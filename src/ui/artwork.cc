#include "ui/artwork.h"

#include <QColor>
#include <QFont>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include "ui/art_palette.h"

namespace qm {

namespace art {

void PaintEnvelope(QPainter& painter, const QRectF& frame, qreal pen) {
  painter.setPen(QPen(kInk, pen));
  painter.setBrush(kPaper);
  painter.drawRect(frame);
  const QPointF middle(frame.center().x(), frame.top() + frame.height() * 0.6);
  painter.drawPolyline(QPolygonF({frame.topLeft(), middle, frame.topRight()}));
  painter.setPen(Qt::NoPen);
  painter.setBrush(kSealRed);
  const qreal seal = frame.height() * 0.28;
  painter.drawEllipse(middle, seal, seal);
}

}  // namespace art

namespace {

using art::kInk;
using art::kPaper;
using art::kTeal;
using art::PaintEnvelope;

// The tray's rounded tile in `colour` with the envelope on it, on a 16 x 16 grid scaled to
// `size`. Whole multiples of 16 keep the outlines on whole pixels, as at 16 itself.
void PaintTrayTile(QPaintDevice& device, int size, const QColor& colour, qreal envelopeOpacity) {
  QPainter painter(&device);
  painter.setRenderHint(QPainter::Antialiasing);
  if (size != 16) painter.scale(size / 16.0, size / 16.0);
  painter.setPen(Qt::NoPen);
  painter.setBrush(colour);
  painter.drawRoundedRect(QRectF(0, 0, 16, 16), 3, 3);
  painter.setOpacity(envelopeOpacity);
  const QRectF envelope(2.5, 4.5, 11, 7);
  // Drawn larger, the square ends of the flap's line would poke out at the envelope's top
  // corners; keep them within its outline. The tray's 16 x 16 pictures stay as they are.
  if (size != 16) painter.setClipRect(envelope.adjusted(-0.5, -0.5, 0.5, 0.5));
  PaintEnvelope(painter, envelope, 1);
}

QPixmap TrayTile(const QColor& colour, qreal envelopeOpacity) {
  QPixmap picture(16, 16);
  // Clear first: the corners outside the rounded tile must stay transparent in the tray.
  picture.fill(Qt::transparent);
  PaintTrayTile(picture, 16, colour, envelopeOpacity);
  return picture;
}

}  // namespace

QPixmap TrayNormalPicture() { return TrayTile(kTeal, 1); }

QImage ApplicationIcon(int size) {
  QImage picture(size, size, QImage::Format_ARGB32_Premultiplied);
  picture.fill(Qt::transparent);
  PaintTrayTile(picture, size, kTeal, 1);
  return picture;
}

QPixmap TrayNewMailPicture() {
  // Warm instead of teal, so that the change reads at a glance even at 16 x 16.
  QPixmap picture = TrayTile(QColor(0xe6, 0x7e, 0x22), 1);
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0xff, 0xf1, 0x76));
  painter.drawEllipse(QPointF(13, 3), 2.5, 2.5);
  return picture;
}

// Halfway between the two tiles, with the envelope dimmed: the blink fades rather than jumps.
QPixmap TrayInBetweenPicture() { return TrayTile(QColor(0x83, 0x7c, 0x57), 0.6); }

QPixmap SplashPicture() {
  QPixmap picture(360, 200);
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);
  QLinearGradient sky(0, 0, 0, 200);
  sky.setColorAt(0, kTeal.lighter(150));
  sky.setColorAt(1, kTeal);
  painter.fillRect(picture.rect(), sky);
  PaintEnvelope(painter, QRectF(24, 60, 96, 64), 2);

  painter.setPen(Qt::white);
  QFont title = painter.font();
  title.setPixelSize(24);
  title.setBold(true);
  painter.setFont(title);
  painter.drawText(QRectF(136, 52, 216, 64), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap,
                   QStringLiteral("Quillmoor\nMail Filter"));
  QFont subtitle = painter.font();
  subtitle.setPixelSize(14);
  subtitle.setBold(false);
  painter.setFont(subtitle);
  painter.drawText(QRectF(136, 120, 216, 24), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("ベータ版"));
  return picture;
}

namespace {

QPixmap Blank(int width) {
  QPixmap picture(width, 16);
  picture.fill(Qt::transparent);
  return picture;
}

// A rounded tile in `colour` with a white mark on it, so that the four verdicts differ by shape
// as well as by colour.
void PaintVerdict(QPainter& painter, int verdictImage, qreal left) {
  static const QColor kColours[] = {art::kFriendGreen, art::kSpamAmber, art::kBadRed,
                                    art::kNeutralGrey};
  painter.setPen(Qt::NoPen);
  painter.setBrush(kColours[verdictImage]);
  painter.drawRoundedRect(QRectF(left + 1, 1, 14, 14), 3, 3);
  painter.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.setBrush(Qt::NoBrush);
  switch (verdictImage) {
    case 0:  // friend: a tick
      painter.drawPolyline(
          QPolygonF({QPointF(left + 4, 8.5), QPointF(left + 7, 11.5), QPointF(left + 12, 4.5)}));
      break;
    case 1:  // spam: an exclamation mark
      painter.drawLine(QPointF(left + 8, 4), QPointF(left + 8, 9));
      painter.drawPoint(QPointF(left + 8, 12));
      break;
    case 2:  // bad: a cross
      painter.drawLine(QPointF(left + 5, 5), QPointF(left + 11, 11));
      painter.drawLine(QPointF(left + 11, 5), QPointF(left + 5, 11));
      break;
    default:  // not yet classified: a question left open, a dot in the middle
      painter.setPen(Qt::NoPen);
      painter.setBrush(Qt::white);
      painter.drawEllipse(QPointF(left + 8, 8), 2.5, 2.5);
      break;
  }
}

// Unread mail is a closed envelope; hidden mail is struck through in grey.
void PaintState(QPainter& painter, int stateImage, qreal left) {
  const bool hidden = stateImage == 1 || stateImage == 3;
  const bool unread = stateImage >= 2;
  if (unread) {
    PaintEnvelope(painter, QRectF(left + 1.5, 4.5, 13, 8), 1);
  } else {
    painter.setPen(QPen(kInk, 1));
    painter.setBrush(kPaper);
    painter.drawRect(QRectF(left + 3.5, 2.5, 9, 11));
  }
  if (hidden) {
    painter.setPen(QPen(QColor(0x60, 0x60, 0x60), 2, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(left + 2, 14), QPointF(left + 14, 2));
  }
}

bool ValidVerdict(int verdictImage) { return verdictImage >= 0 && verdictImage <= 3; }
bool ValidState(int stateImage) { return stateImage >= 1 && stateImage <= 3; }

}  // namespace

QPixmap VerdictPicture(int verdictImage) {
  if (!ValidVerdict(verdictImage)) return QPixmap();
  QPixmap picture = Blank(16);
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);
  PaintVerdict(painter, verdictImage, 0);
  return picture;
}

QPixmap StatePicture(int stateImage) {
  if (!ValidState(stateImage)) return QPixmap();
  QPixmap picture = Blank(16);
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);
  PaintState(painter, stateImage, 0);
  return picture;
}

QPixmap RowPicture(int verdictImage, int stateImage) {
  QPixmap picture = Blank(32);
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);
  if (ValidState(stateImage)) PaintState(painter, stateImage, 0);
  if (ValidVerdict(verdictImage)) PaintVerdict(painter, verdictImage, 16);
  return picture;
}

QPixmap NotifyOtherPicture() {
  QPixmap picture = Blank(16);
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x3a, 0x6e, 0xa5));
  painter.drawRoundedRect(QRectF(1, 1, 14, 14), 3, 3);
  // Three dots: mail that none of the other classes took.
  painter.setBrush(Qt::white);
  for (const qreal x : {4.5, 8.0, 11.5}) painter.drawEllipse(QPointF(x, 8), 1.4, 1.4);
  return picture;
}

}  // namespace qm
