// A small round lamp: a filled circle with a black outline, drawn in fixed
// colours so it looks the same whether its group is enabled or not. A screen
// reader hears it as a graphic with its name and its state ("on", "off") as
// the description; a change of state is announced as a description change.
#pragma once

#include <QColor>
#include <QWidget>

namespace mv::ui {

class RoundLamp : public QWidget {
  Q_OBJECT
 public:
  explicit RoundLamp(QWidget* parent = nullptr);

  // The fill colour; the lamp repaints only when it changes.
  void SetFill(const QColor& colour);
  QColor Fill() const { return fill_; }
  // On or off, as told to assistive technology.
  void SetOn(bool on);
  bool On() const { return on_; }

  QSize sizeHint() const override { return {13, 13}; }
  QSize minimumSizeHint() const override { return {13, 13}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor fill_{255, 255, 255};
  bool on_ = false;
};

}  // namespace mv::ui
