#include "ui/skinned_button.h"

#include <QIcon>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace velnaro::ui {

DSButton::DSButton(const QString& caption, QWidget* parent) : QAbstractButton(parent) {
  setText(caption);
  setCursor(Qt::PointingHandCursor);
  setAttribute(Qt::WA_Hover);
}

DSButton::Look DSButton::CurrentLook() const {
  if (isDown() || isChecked()) return Look::Selected;
  if (hover_) return Look::Hover;
  return Look::Normal;
}

QSize DSButton::sizeHint() const {
  if (shape_ != Shape::Rounded) return {40, 40};
  return {fontMetrics().horizontalAdvance(text()) + 32, 34};
}

void DSButton::enterEvent(QEnterEvent* e) {
  hover_ = true;
  update();
  QAbstractButton::enterEvent(e);
}

void DSButton::leaveEvent(QEvent* e) {
  hover_ = false;
  update();
  QAbstractButton::leaveEvent(e);
}

namespace {

void DrawHandset(QPainter& p, const QRectF& r, QColor colour) {
  // A receiver seen from the side: two ear pieces joined by a curved grip.
  QPainterPath path;
  qreal w = r.width(), h = r.height();
  QPointF o = r.topLeft();
  path.moveTo(o + QPointF(0.18 * w, 0.20 * h));
  path.cubicTo(o + QPointF(0.05 * w, 0.45 * h), o + QPointF(0.40 * w, 0.95 * h),
               o + QPointF(0.80 * w, 0.82 * h));
  path.lineTo(o + QPointF(0.86 * w, 0.68 * h));
  path.lineTo(o + QPointF(0.66 * w, 0.56 * h));
  path.lineTo(o + QPointF(0.58 * w, 0.66 * h));
  path.cubicTo(o + QPointF(0.45 * w, 0.62 * h), o + QPointF(0.35 * w, 0.50 * h),
               o + QPointF(0.33 * w, 0.40 * h));
  path.lineTo(o + QPointF(0.43 * w, 0.32 * h));
  path.lineTo(o + QPointF(0.32 * w, 0.12 * h));
  path.closeSubpath();
  p.setPen(Qt::NoPen);
  p.setBrush(colour);
  p.drawPath(path);
}

}  // namespace

void DSButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  QRectF r = QRectF(rect()).adjusted(1, 1, -1, -1);
  Look look = CurrentLook();
  QColor base = isEnabled() ? colour_ : QColor(0xa0, 0xa0, 0xa0);
  QColor fill = look == Look::Selected ? base.darker(130)
                : look == Look::Hover  ? base.lighter(125)
                                       : base;
  switch (shape_) {
    case Shape::Circle: {
      qreal d = std::min(r.width(), r.height());
      QRectF c(r.center().x() - d / 2, r.center().y() - d / 2, d, d);
      QRadialGradient g(c.center() - QPointF(d / 6, d / 6), d / 1.4);
      g.setColorAt(0, fill.lighter(160));
      g.setColorAt(1, fill);
      p.setBrush(g);
      p.setPen(QPen(fill.darker(140), 1));
      p.drawEllipse(c);
      break;
    }
    case Shape::Handset: {
      if (look != Look::Normal) {
        p.setPen(Qt::NoPen);
        p.setBrush(fill.lighter(look == Look::Hover ? 190 : 160));
        p.drawEllipse(r);
      }
      DrawHandset(p, r.adjusted(r.width() * 0.1, r.height() * 0.1, -r.width() * 0.1,
                                -r.height() * 0.1),
                  look == Look::Selected ? base.darker(130) : base);
      break;
    }
    case Shape::Rounded: {
      p.setPen(QPen(fill.darker(130), 1));
      p.setBrush(fill);
      p.drawRoundedRect(r, 6, 6);
      p.setPen(Qt::white);
      QFont f = font();
      f.setBold(true);
      p.setFont(f);
      p.drawText(r, Qt::AlignCenter | Qt::TextWordWrap, text());
      break;
    }
  }
}

Logo::Logo(QWidget* parent) : QWidget(parent) { setObjectName("imgLogo"); }

void Logo::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  QRectF r = rect();
  qreal h = r.height();
  // A blue disc with a white wave, then the product name.
  QRectF disc(16, h * 0.15, h * 0.7, h * 0.7);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x1f, 0x5f, 0xa8));
  p.drawEllipse(disc);
  QPainterPath wave;
  wave.moveTo(disc.left() + disc.width() * 0.18, disc.center().y());
  wave.cubicTo(disc.left() + disc.width() * 0.38, disc.top() + disc.height() * 0.15,
               disc.left() + disc.width() * 0.62, disc.bottom() - disc.height() * 0.15,
               disc.right() - disc.width() * 0.18, disc.center().y());
  p.setPen(QPen(Qt::white, h * 0.07, Qt::SolidLine, Qt::RoundCap));
  p.setBrush(Qt::NoBrush);
  p.drawPath(wave);
  QFont f = font();
  f.setPixelSize(int(h * 0.36));
  f.setBold(true);
  p.setFont(f);
  p.setPen(QColor(0x1f, 0x5f, 0xa8));
  QRectF text(disc.right() + 12, 0, r.width() - disc.right() - 20, h);
  p.drawText(text, Qt::AlignVCenter | Qt::AlignLeft, "Velnaro");
  QFontMetricsF m(f);
  f.setBold(false);
  p.setFont(f);
  p.setPen(QColor(0xe0, 0x7b, 0x1a));
  p.drawText(text.adjusted(m.horizontalAdvance("Velnaro "), 0, 0, 0),
             Qt::AlignVCenter | Qt::AlignLeft, "DS");
}

void Logo::mouseDoubleClickEvent(QMouseEvent* e) {
  emit doubleClicked();
  e->accept();
}

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 22, 32, 48, 64}) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1f, 0x5f, 0xa8));
    p.drawEllipse(QRectF(0.5, 0.5, size - 1, size - 1));
    DrawHandset(p, QRectF(size * 0.2, size * 0.2, size * 0.6, size * 0.6), Qt::white);
    p.end();
    icon.addPixmap(pm);
  }
  return icon;
}

}  // namespace velnaro::ui
