#include "core/ui/window_place.h"

#include <QScreen>
#include <QWidget>
#include <algorithm>

namespace mv::ui {

namespace {

const QWidget* OwnerOf(const QWidget* window) {
  return window->parentWidget() ? window->parentWidget()->window() : nullptr;
}

// The frame `window` will have: its own once framed, else its owner's.
QMargins ExpectedFrame(const QWidget* window, const QWidget* owner) {
  const QMargins own = FrameMargins(window);
  return own.isNull() && owner != nullptr ? FrameMargins(owner) : own;
}

// Moves the frame's top-left corner to `frameTopLeft`. A window that is not
// framed yet is placed by its client area, so the frame is allowed for.
void MoveFrameTo(QWidget* window, QPoint frameTopLeft, const QMargins& frame) {
  if (FrameMargins(window).isNull()) frameTopLeft += QPoint(frame.left(), frame.top());
  window->move(frameTopLeft);
}

}  // namespace

QMargins FrameMargins(const QWidget* window) {
  const QRect inner = window->geometry();
  const QRect outer = window->frameGeometry();
  return {inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
          outer.bottom() - inner.bottom()};
}

void CentreOverOwner(QWidget* window) {
  const QWidget* owner = OwnerOf(window);
  if (owner == nullptr) return;
  const QMargins frame = ExpectedFrame(window, owner);
  const QSize outer = window->size().grownBy(frame);
  const QRect o = owner->frameGeometry();
  MoveFrameTo(window, {o.left() + (o.width() - outer.width()) / 2, o.top() + (o.height() - outer.height()) / 2}, frame);
}

void PlaceBesideOwner(QWidget* window, const QRect& keepVisible) {
  const QWidget* owner = OwnerOf(window);
  if (owner == nullptr) return;
  const QMargins frame = ExpectedFrame(window, owner);
  const QSize outer = window->size().grownBy(frame);
  const QRect o = owner->frameGeometry();
  const QRect screen = owner->screen() ? owner->screen()->availableGeometry() : QRect(o.topLeft(), outer);
  const int top = std::clamp(o.top(), screen.top(), std::max(screen.top(), screen.bottom() + 1 - outer.height()));
  const int left = std::clamp(o.left(), screen.left(), std::max(screen.left(), screen.right() + 1 - outer.width()));
  const QPoint candidates[] = {
      {o.right() + 1, top}, {o.left() - outer.width(), top}, {left, o.bottom() + 1}, {left, o.top() - outer.height()}};
  for (const QPoint& p : candidates)
    if (screen.contains(QRect(p, outer))) return MoveFrameTo(window, p, frame);
  // No room beside the owner: at the screen's edge farthest from what must stay visible.
  const bool right = keepVisible.center().x() < screen.center().x();
  const int x = right ? screen.right() + 1 - outer.width() : screen.left();
  MoveFrameTo(window, {x, top}, frame);
}

}  // namespace mv::ui
