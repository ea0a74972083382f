// The line-state lamp as a widget: a filled square or circle in its on or off
// colour, 13 x 13 pixels when made. The port's lamp links drive it through
// IndicatorLamp; destroying the lamp clears those links.
#pragma once

#include <QColor>
#include <QWidget>

#include "serial/indicator_link.h"
#include "serial/indicator_state.h"

namespace PLKDVX {

// 0xBBGGRR (red in the low byte) to a QColor, and back.
QColor ColourToQColor(TColour c);
TColour QColorToColour(const QColor& c);

class TDVXCOMIndicator : public QWidget, public IndicatorLamp {
  Q_OBJECT
 public:
  explicit TDVXCOMIndicator(QWidget* owner = nullptr);
  ~TDVXCOMIndicator() override;

  const std::string& GetCopyright() const { return state_.GetCopyright(); }
  const std::string& GetVersion() const { return state_.GetVersion(); }
  TColour GetBorderColour() const { return state_.GetBorderColour(); }
  bool GetBorderOn() const { return state_.GetBorderOn(); }
  TIndicatorShape GetShape() const { return state_.GetShape(); }
  int GetOnTime() const { return state_.GetOnTime(); }
  TColour GetOffColour() const { return state_.GetOffColour(); }
  TColour GetOnColour() const { return state_.GetOnColour(); }
  bool GetStateOn() const { return state_.GetStateOn(); }

  void SetCopyright(const std::string& s) { state_.SetCopyright(s); }
  void SetVersion(const std::string& s) { state_.SetVersion(s); }
  void SetBorderColour(TColour c) { state_.SetBorderColour(c); }
  void SetBorderOn(bool on) { state_.SetBorderOn(on); }
  void SetShape(int shape) { state_.SetShape(shape); }
  void SetOnTime(int ms) { state_.SetOnTime(ms); }
  void SetOffColour(TColour c) { state_.SetOffColour(c); }
  void SetOnColour(TColour c) { state_.SetOnColour(c); }
  void SetStateOn(bool on) override { state_.SetStateOn(on); }

  QSize sizeHint() const override { return QSize(IndicatorState::kDefaultSize, IndicatorState::kDefaultSize); }
  const IndicatorState& State() const { return state_; }

 protected:
  void paintEvent(QPaintEvent* e) override;

 private:
  IndicatorState state_;
};

}  // namespace PLKDVX
