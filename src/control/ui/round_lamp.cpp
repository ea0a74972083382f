#include "control/ui/round_lamp.h"

#include <QPainter>

namespace mv::ui {

RoundLamp::RoundLamp(QWidget* parent) : QWidget(parent) {
  setFixedSize(13, 13);
  setAttribute(Qt::WA_TransparentForMouseEvents);
}

void RoundLamp::SetFill(const QColor& colour) {
  if (colour == fill_) return;
  fill_ = colour;
  update();
}

void RoundLamp::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  // Explicit pen and brush: nothing here comes from the palette.
  p.setPen(QPen(QColor(0, 0, 0), 1));
  p.setBrush(fill_);
  p.drawEllipse(QRectF(0.5, 0.5, width() - 1.0, height() - 1.0));
}

}  // namespace mv::ui
