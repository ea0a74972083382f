// Typing as a keyboard does: each key goes to whatever has the focus at that
// moment (or the active window), never to a widget the test picks.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <QWidget>

namespace mvtest {

inline QWidget* KeyTarget() {
  QWidget* w = QApplication::focusWidget();
  return w ? w : QApplication::activeWindow();
}

inline void Press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  QWidget* target = KeyTarget();
  ASSERT_NE(target, nullptr) << "no window has the keyboard";
  QTest::keyClick(target, key, modifiers);
}

inline void TypeText(const QString& text) {
  for (QChar c : text) QTest::keyClicks(KeyTarget(), QString(c));
}

}  // namespace mvtest
