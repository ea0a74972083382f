// A small round lamp: a filled circle with a black outline, drawn in fixed
// colours so it looks the same whether its group is enabled or not.
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

  QSize sizeHint() const override { return {13, 13}; }
  QSize minimumSizeHint() const override { return {13, 13}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor fill_{255, 255, 255};
};

}  // namespace mv::ui
