// Looking a widget up by name in a window test. A widget that is not there
// (renamed, or never made) fails the test with its name; the test goes on
// with a stand-in that belongs to no window, so the look-up never hands back
// null and the test program never crashes on it, in a test body or inside
// an event handler alike.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QObject>
#include <QPushButton>
#include <QString>
#include <type_traits>

namespace mvtest {

template <class T>
T* Find(const QObject* parent, const QString& name) {
  T* found = parent != nullptr ? parent->template findChild<T*>(name) : nullptr;
  if (found != nullptr) return found;
  ADD_FAILURE() << "no " << T::staticMetaObject.className() << " named \"" << name.toStdString() << "\" in "
                << (parent != nullptr ? parent->objectName().toStdString() : std::string("no window"));
  // Made once, when first missed, and kept to the end (it must not outlive
  // the application object's destruction order).
  using Made = std::conditional_t<std::is_same_v<T, QAbstractButton>, QPushButton, T>;
  static Made* standIn = new Made;
  return standIn;
}

template <class T>
T* Find(const QObject* parent, const char* name) {
  return Find<T>(parent, QString::fromLatin1(name));
}

}  // namespace mvtest
