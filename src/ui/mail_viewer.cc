#include "ui/mail_viewer.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <algorithm>
#include <string_view>

#include "message/mail_message.h"
#include "platform/profile.h"

namespace qm {

namespace {

CViewerCount& Viewers() {
  static CViewerCount count;
  return count;
}

QString FromUtf8(std::string_view text) {
  // The edit controls would show each CR as a character of its own.
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))
      .replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

// The dialog as designed, in client pixels: enough for the three fields, the check boxes and a
// useful part of the text.
constexpr int kDesignedWidth = 600;
constexpr int kDesignedHeight = 440;
constexpr int kMargin = 8;
constexpr int kLabelWidth = 64;
constexpr int kFieldWidth = kDesignedWidth - 2 * kMargin - kLabelWidth;
// Where a viewer opens, from its owner's corner, when no position was saved.
constexpr int kOffsetFromOwner = 40;

// Read-only fields would be painted grey; the text is easier to read on white.
void PaintWhite(QWidget& widget) {
  QPalette palette = widget.palette();
  palette.setColor(QPalette::Base, Qt::white);
  palette.setColor(QPalette::Text, Qt::black);
  widget.setPalette(palette);
}

QLineEdit* AddField(QWidget& dialog, const QString& label, int top, int rowHeight) {
  auto* name = new QLabel(label, &dialog);
  name->setGeometry(kMargin, top, kLabelWidth, rowHeight);
  auto* field = new QLineEdit(&dialog);
  field->setReadOnly(true);
  PaintWhite(*field);
  field->setGeometry(kMargin + kLabelWidth, top, kFieldWidth, rowHeight);
  return field;
}

ViewerRect DesignedRect(const QWidget* parent) {
  QPoint corner;
  if (parent != nullptr) {
    corner = parent->window()->frameGeometry().topLeft();
  } else if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    corner = screen->availableGeometry().topLeft();
  }
  return {corner.x() + kOffsetFromOwner, corner.y() + kOffsetFromOwner, kDesignedWidth,
          kDesignedHeight};
}

}  // namespace

CMailViewer::CMailViewer(const CMailMessage& message, CProfile& settingsProfile, QWidget* parent)
    : QDialog(parent), model(message), profile(settingsProfile) {
  setAttribute(Qt::WA_DeleteOnClose);
  setModal(false);
  setWindowTitle(QStringLiteral("メールビュー"));
  setSizeGripEnabled(true);

  const int rowHeight = std::max(24, fontMetrics().height() + 10);
  const int step = rowHeight + 4;
  subject = AddField(*this, QStringLiteral("Subject"), kMargin, rowHeight);
  from = AddField(*this, QStringLiteral("From"), kMargin + step, rowHeight);
  date = AddField(*this, QStringLiteral("Date"), kMargin + 2 * step, rowHeight);
  const int checksTop = kMargin + 3 * step;
  headerBox = new QCheckBox(QStringLiteral("ヘッダー表示"), this);
  headerBox->setGeometry(kMargin, checksTop, 180, rowHeight);
  undecodedBox = new QCheckBox(QStringLiteral("デコードしないで表示"), this);
  undecodedBox->setGeometry(kMargin + 190, checksTop, 260, rowHeight);

  body = new QPlainTextEdit(this);
  body->setReadOnly(true);
  body->setLineWrapMode(QPlainTextEdit::NoWrap);
  body->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  PaintWhite(*body);
  ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setDefault(true);
  const QSize okSize(88, rowHeight + 2);
  const ViewerRect bodyRect{0, checksTop + step, kDesignedWidth,
                            kDesignedHeight - 2 * kMargin - okSize.height() - checksTop - step};
  const int okLeft = kDesignedWidth - kMargin - okSize.width();
  const int okTop = kDesignedHeight - kMargin - okSize.height();
  body->setGeometry(bodyRect.x, bodyRect.y, bodyRect.width, bodyRect.height);
  ok->setGeometry(okLeft, okTop, okSize.width(), okSize.height());
  margins = MeasureViewerMargins(kDesignedWidth, kDesignedHeight, bodyRect, okLeft, okTop);
  // The designed size, not a larger saved one, is the least the controls need: a saved size as
  // the minimum would let the window only ever grow from one viewer to the next.
  minimumWidth = kDesignedWidth;
  minimumHeight = kDesignedHeight;
  setMinimumSize(minimumWidth, minimumHeight);

  connect(headerBox, &QCheckBox::clicked, this, &CMailViewer::OnHeaderClicked);
  connect(undecodedBox, &QCheckBox::clicked, this, &CMailViewer::OnUndecodedClicked);
  connect(ok, &QPushButton::clicked, this, &QWidget::close);
  ShowModel();

  const ViewerRect rect =
      ViewerOpeningRect(DesignedRect(parent), LoadViewerGeometry(profile), Viewers().Opened());
  const ViewerSizeCheck size =
      CheckViewerSize(rect.width, rect.height, minimumWidth, minimumHeight);
  move(rect.x, rect.y);
  resize(size.width, size.height);
}

CMailViewer::~CMailViewer() {
  const QPoint corner = pos();
  SaveViewerGeometry(profile, {corner.x(), corner.y(), width(), height()});
  Viewers().Closed();
}

int CMailViewer::OpenCount() { return Viewers().Count(); }

void CMailViewer::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  const ViewerSizeCheck check =
      CheckViewerSize(event->size().width(), event->size().height(), minimumWidth, minimumHeight);
  if (!check.fits) {
    resize(check.width, check.height);
    return;
  }
  const ViewerLayout layout = LayoutViewer(check.width, check.height, margins);
  body->setGeometry(layout.body.x, layout.body.y, layout.body.width, layout.body.height);
  ok->move(layout.okLeft, layout.okTop);
}

void CMailViewer::OnHeaderClicked(bool checked) {
  model.ShowHeaderClicked(checked);
  ShowModel();
}

void CMailViewer::OnUndecodedClicked(bool checked) {
  model.ShowUndecodedClicked(checked);
  ShowModel();
}

void CMailViewer::ShowModel() {
  const ViewerContent& content = model.Content();
  subject->setText(FromUtf8(content.subject));
  subject->setCursorPosition(0);
  from->setText(FromUtf8(content.from));
  from->setCursorPosition(0);
  date->setText(FromUtf8(content.date));
  headerBox->setChecked(model.Checks().showHeader);
  undecodedBox->setChecked(model.Checks().showUndecoded);
  body->setPlainText(FromUtf8(model.Body()));
}

CMailViewer* OpenMailViewer(const CMailMessage& message, CProfile& profile, QWidget* parent) {
  auto* viewer = new CMailViewer(message, profile, parent);
  viewer->show();
  return viewer;
}

}  // namespace qm
