// Where our windows open: over the window they belong to, at the same place
// every time, whether or not the window manager has framed them yet.
#pragma once

#include <QMargins>
#include <QRect>

class QWidget;

namespace mv::ui {

// The frame a window manager puts round `window` (0 before it is framed).
QMargins FrameMargins(const QWidget* window);

// Moves `window` (a top-level window with a parent) so that its frame is
// centred over its owner's frame. Before the first show the frame is not
// known: the owner's frame, made by the same manager, stands in for it.
void CentreOverOwner(QWidget* window);

// Moves `window` beside its owner (right, else left, else below, else above),
// within the owner's screen; when there is no room beside it, places it so
// that it covers as little of `keepVisible` (in global coordinates) as it can.
void PlaceBesideOwner(QWidget* window, const QRect& keepVisible);

}  // namespace mv::ui
