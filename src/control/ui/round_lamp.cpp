#include "control/ui/round_lamp.h"

#include <QAccessibleWidget>
#include <QPainter>

namespace mv::ui {

namespace {

// A lamp is a graphic to assistive technology, not a filler.
QAccessibleInterface* LampAccessible(const QString& className, QObject* object) {
  if (className == QLatin1String("mv::ui::RoundLamp") && object != nullptr && object->isWidgetType())
    return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Graphic);
  return nullptr;
}

}  // namespace

RoundLamp::RoundLamp(QWidget* parent) : QWidget(parent) {
  static const bool factoryInstalled = (QAccessible::installFactory(LampAccessible), true);
  (void)factoryInstalled;
  setFixedSize(13, 13);
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setAccessibleDescription(QStringLiteral("off"));
}

void RoundLamp::SetOn(bool on) {
  if (on == on_) return;
  on_ = on;
  setAccessibleDescription(on ? QStringLiteral("on") : QStringLiteral("off"));
  // Told to assistive technology, which reads the lamp again.
  QAccessibleEvent changed(this, QAccessible::DescriptionChanged);
  QAccessible::updateAccessibility(&changed);
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
