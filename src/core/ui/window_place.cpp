#include "core/ui/window_place.h"

#include <QFont>
#include <QFontMetrics>
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
  // A window never shown nor sized is not yet the size its first show gives
  // it (its size hint): place it by that size.
  if (!window->isVisible() && !window->testAttribute(Qt::WA_Resized)) window->adjustSize();
  const QMargins frame = ExpectedFrame(window, owner);
  const QRect o = owner->frameGeometry();
  const QRect screen = owner->screen() ? owner->screen()->availableGeometry() : QRect();
  // Beside the owner, narrowed down to its smallest useful width if need be.
  const int frameWidth = frame.left() + frame.right();
  const int smallest = std::max(window->minimumSizeHint().width(), window->minimumWidth()) + frameWidth;
  const int wanted = window->width() + frameWidth;
  const int roomRight = screen.right() + 1 - (o.right() + 1);
  const int roomLeft = o.left() - screen.left();
  const int outerHeight = window->height() + frame.top() + frame.bottom();
  const int top = std::clamp(o.top(), screen.top(), std::max(screen.top(), screen.bottom() + 1 - outerHeight));
  if (roomRight >= smallest || roomLeft >= smallest) {
    const bool right = roomRight >= smallest;
    const int width = std::min(wanted, right ? roomRight : roomLeft);
    window->resize(width - frameWidth, window->height());
    return MoveFrameTo(window, {right ? o.right() + 1 : o.left() - width, top}, frame);
  }
  // No room beside it: at the screen's edge farthest from what must stay
  // visible, narrowed (down to its smallest useful width) so as to leave that
  // uncovered.
  const bool right = keepVisible.center().x() < screen.center().x();
  const int room = right ? screen.right() - keepVisible.right() : keepVisible.left() - screen.left();
  const int width = std::min(wanted, std::max(room, smallest));
  if (width != wanted) window->resize(width - frameWidth, window->height());
  MoveFrameTo(window, {right ? screen.right() + 1 - width : screen.left(), top}, frame);
}

int WidthForTitle(const QString& title, const QFont& font) {
  QFont bold = font;
  bold.setBold(true);
  QFont clientSide = font;
  clientSide.setPixelSize(14);
  // Qt's bar centres the title by its width in the window's font, then draws
  // it in 14-pixel type: what it grows by goes to the right.
  const int drawn = QFontMetrics(clientSide).horizontalAdvance(title);
  const int centred = QFontMetrics(font).horizontalAdvance(title);
  return std::max(QFontMetrics(bold).horizontalAdvance(title) + 120, 2 * drawn - centred + 2 * 80);
}

}  // namespace mv::ui
