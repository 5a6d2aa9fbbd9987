#include "ui/toolbar_pictures.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPolygonF>
#include <QtMath>
#include <initializer_list>
#include <utility>

#include "ui/art_palette.h"
#include "ui/model/list_command_table.h"

namespace qm {

namespace {

using art::kInk;
using art::kPaper;
using art::kTeal;

// Marks are drawn 2 wide with round ends, like the marks on the verdict tiles.
QPen Mark(const QColor& colour, qreal width = 2) {
  return QPen(colour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// Draws `path` with `pen` over a transparent margin, so that a mark laid over a shape stays
// apart from the outlines beneath it.
void PaintCutMark(QPainter& painter, const QPainterPath& path, const QPen& pen) {
  painter.save();
  painter.setBrush(Qt::NoBrush);
  painter.setCompositionMode(QPainter::CompositionMode_Clear);
  QPen margin = pen;
  margin.setWidthF(pen.widthF() + 2);
  painter.strokePath(path, margin);
  painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
  painter.strokePath(path, pen);
  painter.restore();
}

// Separate straight lines, each from its first point to its second.
QPainterPath Lines(std::initializer_list<std::pair<QPointF, QPointF>> lines) {
  QPainterPath path;
  for (const auto& [from, to] : lines) {
    path.moveTo(from);
    path.lineTo(to);
  }
  return path;
}

QPainterPath Polyline(std::initializer_list<QPointF> points) {
  QPainterPath path;
  path.addPolygon(QPolygonF(points));
  return path;
}

// An envelope with a green arrow coming down into it.
void PaintReceive(QPainter& painter) {
  art::PaintEnvelope(painter, QRectF(1.5, 7.5, 13, 7), 1);
  painter.setPen(Mark(art::kFriendGreen));
  painter.drawLine(QPointF(8, 1), QPointF(8, 5.5));
  painter.drawPolyline(QPolygonF({QPointF(5, 3.5), QPointF(8, 6.5), QPointF(11, 3.5)}));
}

// A circle of arrows: the mail sorted once more.
void PaintReclassify(QPainter& painter) {
  const QPointF centre(8, 8);
  const qreal radius = 5;
  const qreal start = 60;
  const qreal sweep = 270;
  painter.setPen(Mark(kTeal));
  painter.setBrush(Qt::NoBrush);
  painter.drawArc(QRectF(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius),
                  qRound(start * 16), qRound(sweep * 16));
  // The head at the arc's end, pointing on along it.
  const qreal end = qDegreesToRadians(start + sweep);
  const QPointF outward(qCos(end), -qSin(end));
  const QPointF ahead(-qSin(end), -qCos(end));
  const QPointF tip = centre + outward * radius;
  painter.setPen(Qt::NoPen);
  painter.setBrush(kTeal);
  painter.drawPolygon(QPolygonF({tip + ahead * 3.5, tip + outward * 3, tip - outward * 3}));
}

// A written sheet under a magnifier.
void PaintViewMail(QPainter& painter) {
  painter.setPen(QPen(kInk, 1));
  painter.setBrush(kPaper);
  painter.drawRect(QRectF(1.5, 0.5, 10, 13));
  painter.setPen(QPen(art::kNeutralGrey, 1));
  for (const qreal y : {3.5, 5.5, 7.5}) painter.drawLine(QPointF(3.5, y), QPointF(9.5, y));
  painter.setPen(QPen(kInk, 1.5));
  painter.setBrush(QColor(0xcf, 0xe8, 0xec));
  painter.drawEllipse(QPointF(10, 10), 3.25, 3.25);
  painter.setPen(Mark(kInk, 2.5));
  painter.drawLine(QPointF(12.75, 12.75), QPointF(14.75, 14.75));
}

// An envelope struck out with a red cross.
void PaintDelete(QPainter& painter) {
  art::PaintEnvelope(painter, QRectF(0.5, 2.5, 12, 8), 1);
  PaintCutMark(painter, Lines({{QPointF(9, 9), QPointF(14, 14)}, {QPointF(14, 9), QPointF(9, 14)}}),
               Mark(art::kBadRed));
}

// A dustbin with its lid on.
void PaintDustbox(QPainter& painter) {
  painter.setPen(QPen(kInk, 1));
  painter.setBrush(QColor(0xd5, 0xd8, 0xdc));
  painter.drawPolygon(
      QPolygonF({QPointF(3.5, 5.5), QPointF(12.5, 5.5), QPointF(11.5, 15.5), QPointF(4.5, 15.5)}));
  painter.setPen(QPen(art::kNeutralGrey, 1));
  for (const qreal x : {6.5, 9.5}) painter.drawLine(QPointF(x, 7.5), QPointF(x, 13.5));
  painter.setPen(QPen(kInk, 1));
  painter.setBrush(art::kNeutralGrey);
  painter.drawRect(QRectF(6.5, 1.5, 3, 2));
  painter.drawRect(QRectF(1.5, 3.5, 13, 2));
}

// A person in the list's colour, with a + or a - beside.
void PaintListPerson(QPainter& painter, const QColor& colour, bool add) {
  painter.setPen(QPen(kInk, 1));
  painter.setBrush(colour);
  QPainterPath body;
  body.moveTo(0.5, 15.5);
  body.arcTo(QRectF(0.5, 9, 10, 9), 180, -180);
  body.lineTo(10.5, 15.5);
  body.closeSubpath();
  painter.drawPath(body);
  painter.drawEllipse(QPointF(5.5, 5), 3, 3);

  QPainterPath sign = Lines({{QPointF(9, 12), QPointF(15, 12)}});
  if (add) sign.addPath(Lines({{QPointF(12, 9), QPointF(12, 15)}}));
  PaintCutMark(painter, sign, QPen(kInk, 2, Qt::SolidLine, Qt::FlatCap));
}

// An eye, open: the mail shows in the mail client.
void PaintEye(QPainter& painter) {
  QPainterPath eye;
  eye.moveTo(0.5, 8);
  eye.quadTo(8, 0.5, 15.5, 8);
  eye.quadTo(8, 15.5, 0.5, 8);
  painter.setPen(QPen(kInk, 1));
  painter.setBrush(kPaper);
  painter.drawPath(eye);
  painter.setPen(Qt::NoPen);
  painter.setBrush(kTeal);
  painter.drawEllipse(QPointF(8, 8), 3, 3);
  painter.setBrush(kInk);
  painter.drawEllipse(QPointF(8, 8), 1.25, 1.25);
}

// The eye struck through in the grey of the list's hidden mail: hidden from the mail client.
void PaintHide(QPainter& painter) {
  PaintEye(painter);
  PaintCutMark(painter, Lines({{QPointF(2.5, 14), QPointF(13.5, 2)}}),
               Mark(QColor(0x60, 0x60, 0x60)));
}

// A window with an arrow leaving it: the mail client started.
void PaintLaunchMailer(QPainter& painter) {
  painter.setPen(QPen(kInk, 1));
  painter.setBrush(kPaper);
  painter.drawRect(QRectF(0.5, 4.5, 11, 11));
  painter.setPen(Qt::NoPen);
  painter.setBrush(kTeal);
  painter.drawRect(QRectF(1, 5, 10, 2.5));
  art::PaintEnvelope(painter, QRectF(2.5, 9.5, 6, 4), 1);
  QPainterPath arrow = Lines({{QPointF(7.5, 8.5), QPointF(14, 2)}});
  arrow.addPath(Polyline({QPointF(9.5, 2), QPointF(14, 2), QPointF(14, 6.5)}));
  PaintCutMark(painter, arrow, Mark(art::kFriendGreen));
}

using Painter = void (*)(QPainter&);

Painter PainterOf(int command) {
  switch (command) {
    case CmdReceive:
      return PaintReceive;
    case CmdReclassify:
      return PaintReclassify;
    case CmdViewMail:
      return PaintViewMail;
    case CmdDelete:
      return PaintDelete;
    case CmdShowDustbox:
      return PaintDustbox;
    case CmdAddFriend:
      return [](QPainter& painter) { PaintListPerson(painter, art::kFriendGreen, true); };
    case CmdRemoveFriend:
      return [](QPainter& painter) { PaintListPerson(painter, art::kFriendGreen, false); };
    case CmdAddBad:
      return [](QPainter& painter) { PaintListPerson(painter, art::kBadRed, true); };
    case CmdRemoveBad:
      return [](QPainter& painter) { PaintListPerson(painter, art::kBadRed, false); };
    case CmdHide:
      return PaintHide;
    case CmdUnhide:
      return PaintEye;
    case CmdLaunchMailer:
      return PaintLaunchMailer;
    default:
      return nullptr;
  }
}

}  // namespace

QImage ToolBarPicture(int command, int size) {
  const Painter paint = PainterOf(command);
  if (paint == nullptr || size <= 0) return QImage();
  QImage picture(size, size, QImage::Format_ARGB32_Premultiplied);
  picture.fill(Qt::transparent);
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);
  if (size != 16) painter.scale(size / 16.0, size / 16.0);
  paint(painter);
  return picture;
}

QIcon ToolBarIcon(int command) {
  QIcon icon;
  for (const int size : {16, 32}) {
    const QImage picture = ToolBarPicture(command, size);
    if (!picture.isNull()) icon.addPixmap(QPixmap::fromImage(picture));
  }
  return icon;
}

}  // namespace qm
