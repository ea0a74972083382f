// Where our windows open: over the window they belong to, at the same place
// every time, whether or not the window manager has framed them yet.
#pragma once

#include <QMargins>
#include <QRect>

class QFont;
class QString;
class QWidget;

namespace mv::ui {

// The frame a window manager puts round `window` (0 before it is framed).
QMargins FrameMargins(const QWidget* window);

// Moves `window` (a top-level window with a parent) so that its frame is
// centred over its owner's frame. Before the first show the frame is not
// known: the owner's frame, made by the same manager, stands in for it.
void CentreOverOwner(QWidget* window);

// Moves `window` beside its owner (right, else left), narrowed down to its
// smallest useful width when the screen has no more room there; when there
// is no room beside it at all, puts it at the screen's edge away from
// `keepVisible` (in global coordinates), narrowed so as not to cover it as
// far as its smallest useful width allows.
void PlaceBesideOwner(QWidget* window, const QRect& keepVisible);

// The width a window needs to show `title` whole in its title bar, drawn by
// an X11 window manager (a bold title and room for its buttons) or by Qt
// itself on Wayland (the title in 14-pixel type centred over the whole bar,
// cut 77 pixels short of the right edge by its three buttons).
int WidthForTitle(const QString& title, const QFont& font);

}  // namespace mv::ui
