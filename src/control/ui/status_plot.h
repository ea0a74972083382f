// The live plot of the status values: speed, phase current, phase power, bus
// voltage and the two temperatures against time, one lane per value with its
// own scale. It reads the control window's StatusHistory; new polls only
// schedule a repaint, at most one per kRepaintMs, so fast polling never
// floods the GUI thread.
#pragma once

#include <QDialog>
#include <QTimer>
#include <QWidget>
#include <array>
#include <vector>

#include "control/status_history.h"

class QCheckBox;
class QComboBox;
class QPushButton;

namespace mv::ui {

// The drawing: lanes stacked top to bottom in kPlotSeries order, a value
// column on the left, the time axis at the bottom (seconds before the end).
class StatusPlotWidget : public QWidget {
  Q_OBJECT
 public:
  explicit StatusPlotWidget(const StatusHistory& history, QWidget* parent = nullptr);

  void SetWindowSeconds(double seconds);
  double WindowSeconds() const { return windowSeconds_; }
  // Paused: the view stays at the time it was paused; polls still arrive.
  void SetPaused(bool paused);
  bool Paused() const { return paused_; }
  // Autoscale on: each lane spans its values in the window. Off: the lanes
  // keep the scales they had when it was switched off.
  void SetAutoscale(bool on);
  bool Autoscale() const { return autoscale_; }

  // The time at the right edge and the scale of each lane, as drawn next.
  double EndTime() const;
  // Points after this time are not drawn (the pause time; +inf when running).
  double Cutoff() const;
  ValueRange LaneRange(PlotSeries series) const;

  QSize sizeHint() const override { return {700, 6 * 64 + 22}; }
  QSize minimumSizeHint() const override { return {460, 6 * 40 + 22}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  const StatusHistory& history_;
  double windowSeconds_ = 60;
  bool paused_ = false;
  double pausedEnd_ = 0;
  double pausedAt_ = 0;
  bool autoscale_ = true;
  std::array<ValueRange, kPlotSeriesCount> frozen_{};
  std::vector<QPointF> points_;  // reused between paints
};

class TStatusPlotForm : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kRepaintMs = 100;
  // The window choices: 10 s, 30 s, 1, 2, 5 and 10 minutes.
  static constexpr std::array<int, 6> kWindowSeconds{10, 30, 60, 120, 300, 600};

  TStatusPlotForm(const mv::StatusHistory& history, QWidget* owner = nullptr);

  // A poll was added to the history: repaint soon (throttled).
  void DataAdded();
  // The history was cleared.
  void HistoryCleared();

  StatusPlotWidget* Plot() const { return StatusPlot; }
  const QTimer& RepaintTimer() const { return repaintTimer_; }

 signals:
  // The "Clear" button: the owner clears the history.
  void ClearRequested();

 private:
  StatusPlotWidget* StatusPlot = nullptr;
  QComboBox* TimeWindowComboBox = nullptr;
  QCheckBox* PauseCheckBox = nullptr;
  QCheckBox* AutoscaleCheckBox = nullptr;
  QPushButton* ClearButton = nullptr;
  QTimer repaintTimer_;
};

}  // namespace mv::ui
