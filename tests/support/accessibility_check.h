// What a screen reader hears of a window, read through QAccessible (the layer
// that AT-SPI reads on Linux), against the rules voice-control and
// screen-reader users rely on:
// - a button, check box or radio button's name contains its visible caption
//   (without the access key's '&'): "label in name";
// - a label's name is its text, so a label that shows a value is read as
//   that value; what it is goes in its description;
// - an edit, list, grid or combo box is named by its buddy label: an edit's,
//   list's or grid's name is the label's text; a combo box, whose name on
//   Linux is its current item, is labelled by that label.
#pragma once

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabBar>
#include <QTextEdit>
#include <QWidget>
#include <string>
#include <vector>

namespace mvtest {

// A caption as it is heard: '&' before an access key dropped, "&&" is '&'.
inline QString Heard(const QString& caption) {
  QString out;
  for (qsizetype i = 0; i < caption.size(); ++i) {
    if (caption[i] == QLatin1Char('&')) {
      if (i + 1 < caption.size() && caption[i + 1] == QLatin1Char('&')) out += caption[++i];
      continue;
    }
    out += caption[i];
  }
  return out;
}

inline QString AccessibleText(QWidget* w, QAccessible::Text t) {
  QAccessibleInterface* i = QAccessible::queryAccessibleInterface(w);
  return i ? i->text(t) : QString();
}
inline std::string AccessibleName(QWidget* w) { return AccessibleText(w, QAccessible::Name).toStdString(); }
inline std::string AccessibleDescription(QWidget* w) {
  return AccessibleText(w, QAccessible::Description).toStdString();
}

// Parts of a compound widget (a combo box's edit, a grid's headers and cell
// editors, a tab bar's scroll buttons) are that widget's business.
inline bool IsPartOfAnotherControl(const QWidget* w, const QWidget* window) {
  for (const QWidget* p = w->parentWidget(); p != nullptr && p != window; p = p->parentWidget())
    if (qobject_cast<const QComboBox*>(p) || qobject_cast<const QAbstractItemView*>(p) ||
        qobject_cast<const QAbstractSpinBox*>(p) || qobject_cast<const QTabBar*>(p))
      return true;
  return false;
}

inline QLabel* BuddyLabelOf(QWidget* w, QWidget* window) {
  for (QLabel* l : window->findChildren<QLabel*>())
    if (l->buddy() == w) return l;
  return nullptr;
}

// One line per fault; "" when the window has none.
inline std::string AccessibilityFaults(QWidget* window) {
  std::string faults;
  auto fault = [&](QWidget* w, const QString& what) {
    faults += (w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className()) : w->objectName())
                  .toStdString() +
              ": " + what.toStdString() + "\n";
  };
  for (QWidget* w : window->findChildren<QWidget*>()) {
    if (IsPartOfAnotherControl(w, window)) continue;
    const QString name = AccessibleText(w, QAccessible::Name);
    if (auto* b = qobject_cast<QAbstractButton*>(w)) {
      const QString caption = Heard(b->text());
      if (!caption.isEmpty() && !name.contains(caption))
        fault(w, QStringLiteral("button \"%1\" is heard as \"%2\"").arg(caption, name));
    } else if (auto* l = qobject_cast<QLabel*>(w)) {
      if (l->pixmap().isNull() && name != Heard(l->text()))
        fault(w, QStringLiteral("label showing \"%1\" is heard as \"%2\"").arg(Heard(l->text()), name));
    } else if (qobject_cast<QLineEdit*>(w) || qobject_cast<QAbstractSpinBox*>(w) || qobject_cast<QPlainTextEdit*>(w) ||
               qobject_cast<QTextEdit*>(w) || qobject_cast<QAbstractItemView*>(w) || qobject_cast<QComboBox*>(w)) {
      QLabel* label = BuddyLabelOf(w, window);
      if (label == nullptr) {
        fault(w, QStringLiteral("no buddy label (heard as \"%1\")").arg(name));
        continue;
      }
      const QString caption = Heard(label->text());
      if (caption.isEmpty()) fault(w, QStringLiteral("its label is empty"));
      if (auto* combo = qobject_cast<QComboBox*>(w)) {
        bool labelled = false;
        QAccessibleInterface* ci = QAccessible::queryAccessibleInterface(combo);
        for (const auto& rel : ci->relations(QAccessible::Label))
          if (rel.first != nullptr && rel.first->text(QAccessible::Name) == caption) labelled = true;
        if (!labelled && name != caption)
          fault(w, QStringLiteral("combo box is not labelled \"%1\" (heard as \"%2\")").arg(caption, name));
      } else if (name != caption) {
        fault(w, QStringLiteral("labelled \"%1\" but heard as \"%2\"").arg(caption, name));
      }
    }
  }
  return faults;
}

// What a screen reader is told to say at once (alerts), as the texts of the
// objects that raised them, while the recorder lives. Qt tells only while an
// assistive technology listens (the wm group runs such tests with the
// accessibility bus up): Listening() says whether it does.
class AlertRecorder {
 public:
  AlertRecorder() {
    Self() = this;
    previous_ = QAccessible::installUpdateHandler(&Handle);
  }
  static bool Listening() { return QAccessible::isActive(); }
  ~AlertRecorder() {
    QAccessible::installUpdateHandler(previous_);
    Self() = nullptr;
  }
  AlertRecorder(const AlertRecorder&) = delete;
  AlertRecorder& operator=(const AlertRecorder&) = delete;
  std::vector<QString> texts;

 private:
  static AlertRecorder*& Self() {
    static AlertRecorder* self = nullptr;
    return self;
  }
  static void Handle(QAccessibleEvent* e) {
    AlertRecorder* self = Self();
    if (self != nullptr && e->type() == QAccessible::Alert)
      if (QAccessibleInterface* i = e->accessibleInterface()) self->texts.push_back(i->text(QAccessible::Name));
    if (self != nullptr && self->previous_ != nullptr) self->previous_(e);
  }
  QAccessible::UpdateHandler previous_ = nullptr;
};

}  // namespace mvtest
