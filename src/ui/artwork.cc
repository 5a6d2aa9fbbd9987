#include "ui/artwork.h"

#include <QColor>
#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

namespace qm {

namespace {

const QColor kTeal(0x1f, 0x7a, 0x8c);
const QColor kPaper(0xfb, 0xf8, 0xf0);
const QColor kInk(0x23, 0x2f, 0x3e);

// An envelope in `frame`: the body, the closed flap, and a small red seal where they meet.
void PaintEnvelope(QPainter& painter, const QRectF& frame, qreal pen) {
  painter.setPen(QPen(kInk, pen));
  painter.setBrush(kPaper);
  painter.drawRect(frame);
  const QPointF middle(frame.center().x(), frame.top() + frame.height() * 0.6);
  painter.drawPolyline(QPolygonF({frame.topLeft(), middle, frame.topRight()}));
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0xc0, 0x39, 0x2b));
  const qreal seal = frame.height() * 0.28;
  painter.drawEllipse(middle, seal, seal);
}

}  // namespace

QPixmap TrayPicture() {
  QPixmap picture(16, 16);
  // Clear first: the corners outside the rounded tile must stay transparent in the tray.
  picture.fill(Qt::transparent);
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(kTeal);
  painter.drawRoundedRect(QRectF(0, 0, 16, 16), 3, 3);
  PaintEnvelope(painter, QRectF(2.5, 4.5, 11, 7), 1);
  return picture;
}

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

}  // namespace qm
