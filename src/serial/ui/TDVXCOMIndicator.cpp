#include "serial/ui/TDVXCOMIndicator.h"

#include <QAccessible>
#include <QPainter>

#include "core/ui/qt_timer.h"

namespace PLKDVX {

QColor ColourToQColor(TColour c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

TColour QColorToColour(const QColor& c) {
  return static_cast<TColour>(c.red()) | (static_cast<TColour>(c.green()) << 8) |
         (static_cast<TColour>(c.blue()) << 16);
}

TDVXCOMIndicator::TDVXCOMIndicator(QWidget* owner) : QWidget(owner), state_(mv::MakeQtTimer) {
  setObjectName(QStringLiteral("DVXCOMIndicator"));
  resize(IndicatorState::kDefaultSize, IndicatorState::kDefaultSize);
  setAttribute(Qt::WA_OpaquePaintEvent, false);
  state_.OnRepaint = [this] {
    update();
    const QString state = state_.GetStateOn() ? QStringLiteral("on") : QStringLiteral("off");
    if (state == accessibleDescription()) return;
    setAccessibleDescription(state);
    // Told to assistive technology, which reads the lamp again.
    QAccessibleEvent changed(this, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&changed);
  };
  setAccessibleName(QStringLiteral("Lamp"));
  setAccessibleDescription(QStringLiteral("off"));
}

TDVXCOMIndicator::~TDVXCOMIndicator() { state_.OnRepaint = nullptr; }

void TDVXCOMIndicator::paintEvent(QPaintEvent*) {
  // The lamp's own colours in every palette state, disabled included.
  QPainter p(this);
  const QColor fill = ColourToQColor(state_.FillColour());
  const QColor outline = ColourToQColor(state_.OutlineColour());
  p.setPen(QPen(outline, 1));
  p.setBrush(fill);
  const QRect r(0, 0, width() - 1, height() - 1);
  if (state_.GetShape() == isCircle) {
    p.setRenderHint(QPainter::Antialiasing);
    p.drawEllipse(QRectF(0.5, 0.5, width() - 1.0, height() - 1.0));
  } else {
    p.drawRect(r);
  }
}

}  // namespace PLKDVX
