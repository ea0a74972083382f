#include "control/ui/status_plot.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <limits>

namespace mv::ui {

namespace {

constexpr int kLabelWidth = 130;  // name and latest value on the left
constexpr int kAxisHeight = 22;   // time axis at the bottom
constexpr int kRightMargin = 64;  // lane scale on the right

// Fixed colours: the plot looks the same in every palette and state.
const QColor kBackground(255, 255, 255);
const QColor kLaneBackground(248, 248, 248);
const QColor kGrid(210, 210, 210);
const QColor kText(0, 0, 0);
const QColor kScaleText(96, 96, 96);
const std::array<QColor, kPlotSeriesCount> kSeriesColours{QColor(0, 90, 200), QColor(200, 60, 0),  QColor(150, 0, 150),
                                                          QColor(0, 128, 0),  QColor(160, 110, 0), QColor(200, 0, 60)};

// Points this close before the window's start still count as inside it: the
// start is computed as end - window, which rounds.
constexpr double kTimeSlack = 1e-6;

// The span drawn for a lane: the values with a margin, never empty.
ValueRange Padded(ValueRange r) {
  if (!r.valid) return {0, 1, false};
  const double span = r.max - r.min;
  if (span <= 0) {
    const double pad = std::max(1.0, std::fabs(r.max) * 0.05);
    return {r.min - pad, r.max + pad, true};
  }
  return {r.min - span * 0.05, r.max + span * 0.05, true};
}

QString ValueText(double v, int decimals) { return QString::number(v, 'f', decimals); }

}  // namespace

StatusPlotWidget::StatusPlotWidget(const StatusHistory& history, QWidget* parent) : QWidget(parent), history_(history) {
  setObjectName(QStringLiteral("StatusPlot"));
  setAccessibleName(QStringLiteral("Status plot"));
  setAccessibleDescription(
      QStringLiteral("Speed, phase current, phase power, bus voltage, controller and motor temperature against time"));
  setAttribute(Qt::WA_OpaquePaintEvent);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  for (auto& r : frozen_) r = {0, 1, false};
}

void StatusPlotWidget::SetWindowSeconds(double seconds) {
  if (!(seconds > 0) || seconds == windowSeconds_) return;
  windowSeconds_ = seconds;
  update();
}

void StatusPlotWidget::SetPaused(bool paused) {
  if (paused == paused_) return;
  if (paused) {
    pausedEnd_ = EndTime();  // the axis shown right now
    pausedAt_ = history_.LatestTime();
  }
  paused_ = paused;
  update();
}

void StatusPlotWidget::SetAutoscale(bool on) {
  if (on == autoscale_) return;
  if (!on)
    for (std::size_t s = 0; s < kPlotSeriesCount; ++s) frozen_[s] = LaneRange(static_cast<PlotSeries>(s));
  autoscale_ = on;
  update();
}

double StatusPlotWidget::EndTime() const {
  if (paused_) return pausedEnd_;
  // The newest poll is at "0 s", also while the window is still filling
  // (the older part of the axis is then empty).
  return history_.LatestTime();
}

double StatusPlotWidget::Cutoff() const { return paused_ ? pausedAt_ : std::numeric_limits<double>::infinity(); }

ValueRange StatusPlotWidget::LaneRange(PlotSeries series) const {
  if (!autoscale_) return frozen_[static_cast<std::size_t>(series)];
  const double end = EndTime();
  ValueRange r = history_.RangeSince(series, end - windowSeconds_ - kTimeSlack);
  // Points after the pause are not drawn, so they do not scale the lane.
  if (paused_ && r.valid) {
    ValueRange inside;
    const std::size_t first = history_.FirstAtOrAfter(end - windowSeconds_ - kTimeSlack);
    for (std::size_t i = first; i < history_.Size() && history_.TimeAt(i) <= pausedAt_; ++i) {
      const double v = history_.ValueAt(series, i);
      if (std::isnan(v)) continue;
      if (!inside.valid)
        inside = {v, v, true};
      else
        inside = {std::min(inside.min, v), std::max(inside.max, v), true};
    }
    r = inside;
  }
  return Padded(r);
}

void StatusPlotWidget::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), kBackground);
  const QRectF area(kLabelWidth, 0, std::max(1, width() - kLabelWidth - kRightMargin),
                    std::max(1, height() - kAxisHeight));
  const double laneHeight = area.height() / static_cast<double>(kPlotSeriesCount);
  const double end = EndTime();
  const double cutoff = Cutoff();
  const double start = end - windowSeconds_;
  const double xScale = area.width() / windowSeconds_;
  const std::size_t first = history_.FirstAtOrAfter(start - kTimeSlack);
  const QFontMetrics fm(font());

  // Time axis: five divisions of the window, labelled in seconds before the end.
  p.setPen(kGrid);
  for (int k = 0; k <= 5; ++k) {
    const double x = area.left() + area.width() * k / 5.0;
    p.drawLine(QPointF(x, area.top()), QPointF(x, area.bottom()));
  }
  p.setPen(kText);
  for (int k = 0; k <= 5; ++k) {
    const double x = area.left() + area.width() * k / 5.0;
    const int secondsBefore = static_cast<int>(std::lround(windowSeconds_ * (5 - k) / 5.0));
    const QString text = secondsBefore == 0 ? QStringLiteral("0 s") : QStringLiteral("-%1 s").arg(secondsBefore);
    const int w = fm.horizontalAdvance(text);
    const double left = std::clamp(x - w / 2.0, area.left(), area.right() - w);
    p.drawText(QPointF(left, area.bottom() + fm.ascent() + 4), text);
  }
  if (paused_) {
    p.setPen(kScaleText);
    p.drawText(QPointF(4, area.bottom() + fm.ascent() + 4), QStringLiteral("Paused"));
  }

  for (std::size_t s = 0; s < kPlotSeriesCount; ++s) {
    const PlotSeriesInfo& info = kPlotSeries[s];
    const QRectF lane(area.left(), area.top() + laneHeight * static_cast<double>(s), area.width(), laneHeight - 2);
    p.fillRect(lane, kLaneBackground);
    p.setPen(kGrid);
    p.drawRect(lane);

    // Value column: name with unit, the latest value in the window.
    double latest = kNoValue;
    for (std::size_t i = history_.Size(); i > first; --i) {
      if (history_.TimeAt(i - 1) > cutoff) continue;
      if (!std::isnan(history_.ValueAt(info.series, i - 1))) {
        latest = history_.ValueAt(info.series, i - 1);
        break;
      }
    }
    p.setPen(kSeriesColours[s]);
    const QString caption = QStringLiteral("%1 (%2)").arg(QLatin1String(info.name), QLatin1String(info.unit));
    p.drawText(QPointF(4, lane.top() + fm.ascent() + 2), fm.elidedText(caption, Qt::ElideRight, kLabelWidth - 8));
    p.setPen(kText);
    p.drawText(QPointF(4, lane.top() + fm.ascent() * 2 + 5),
               std::isnan(latest) ? QStringLiteral("-") : ValueText(latest, info.decimals));

    // Scale: top and bottom of the lane, right of it.
    const ValueRange r = LaneRange(info.series);
    p.setPen(kScaleText);
    p.drawText(QPointF(lane.right() + 4, lane.top() + fm.ascent()), ValueText(r.max, info.decimals));
    p.drawText(QPointF(lane.right() + 4, lane.bottom() - 1), ValueText(r.min, info.decimals));

    // The line: at most a low and a high point per pixel column, broken at gaps.
    const double yScale = (lane.height() - 4) / (r.max - r.min);
    auto yOf = [&](double v) { return lane.bottom() - 2 - (std::clamp(v, r.min, r.max) - r.min) * yScale; };
    p.save();
    p.setClipRect(lane);
    // A plain 2-pixel line: antialiasing costs several times more per repaint.
    p.setPen(QPen(kSeriesColours[s], 2));
    points_.clear();
    auto flush = [&] {
      if (points_.size() == 1) p.drawPoint(points_.front());
      if (points_.size() > 1) p.drawPolyline(points_.data(), static_cast<int>(points_.size()));
      points_.clear();
    };
    int column = -1;
    double low = 0, high = 0, lowT = 0, highT = 0;
    auto emitColumn = [&] {
      if (column < 0) return;
      // Keep the time order of the extremes so the line does not zig-zag back.
      const QPointF a(area.left() + (lowT - start) * xScale, yOf(low));
      const QPointF b(area.left() + (highT - start) * xScale, yOf(high));
      if (lowT <= highT) {
        points_.push_back(a);
        if (highT != lowT || high != low) points_.push_back(b);
      } else {
        points_.push_back(b);
        points_.push_back(a);
      }
    };
    for (std::size_t i = first; i < history_.Size(); ++i) {
      const double t = history_.TimeAt(i);
      if (t > cutoff) break;
      const double v = history_.ValueAt(info.series, i);
      if (std::isnan(v)) {
        emitColumn();
        column = -1;
        flush();
        continue;
      }
      const int c = static_cast<int>((t - start) * xScale);
      if (c != column) {
        emitColumn();
        column = c;
        low = high = v;
        lowT = highT = t;
      } else {
        if (v < low) low = v, lowT = t;
        if (v > high) high = v, highT = t;
      }
    }
    emitColumn();
    flush();
    p.restore();
  }
}

// A dialog of the control/status window, so transient for it: the window
// manager keeps it above that window (always on top as that is) and with it,
// on X11 and on Wayland alike. Not always on top itself: it would cover the
// control window's Stop button even while that window is the active one.
TStatusPlotForm::TStatusPlotForm(const mv::StatusHistory& history, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                         Qt::WindowMinMaxButtonsHint) {
  setObjectName(QStringLiteral("StatusPlotForm"));
  setWindowTitle(QStringLiteral("Status Plot"));
  setModal(false);

  StatusPlot = new StatusPlotWidget(history, this);

  TimeWindowComboBox = new QComboBox(this);
  TimeWindowComboBox->setObjectName(QStringLiteral("TimeWindowComboBox"));
  TimeWindowComboBox->setAccessibleName(QStringLiteral("Time window"));
  for (int s : kWindowSeconds)
    TimeWindowComboBox->addItem(s < 60 ? QStringLiteral("%1 s").arg(s) : QStringLiteral("%1 min").arg(s / 60), s);
  TimeWindowComboBox->setCurrentIndex(2);  // 1 min
  auto* windowLabel = new QLabel(QStringLiteral("&Time window"), this);
  windowLabel->setTextFormat(Qt::PlainText);
  windowLabel->setObjectName(QStringLiteral("TimeWindowLabel"));
  windowLabel->setBuddy(TimeWindowComboBox);

  PauseCheckBox = new QCheckBox(QStringLiteral("&Pause"), this);
  PauseCheckBox->setObjectName(QStringLiteral("PauseCheckBox"));
  PauseCheckBox->setAccessibleName(QStringLiteral("Pause"));
  AutoscaleCheckBox = new QCheckBox(QStringLiteral("&Autoscale"), this);
  AutoscaleCheckBox->setObjectName(QStringLiteral("AutoscaleCheckBox"));
  AutoscaleCheckBox->setAccessibleName(QStringLiteral("Autoscale"));
  AutoscaleCheckBox->setChecked(true);
  ClearButton = new QPushButton(QStringLiteral("&Clear"), this);
  ClearButton->setObjectName(QStringLiteral("ClearButton"));
  ClearButton->setAccessibleName(QStringLiteral("Clear"));
  ClearButton->setAutoDefault(false);

  auto* controls = new QHBoxLayout;
  controls->addWidget(windowLabel);
  controls->addWidget(TimeWindowComboBox);
  controls->addSpacing(12);
  controls->addWidget(PauseCheckBox);
  controls->addWidget(AutoscaleCheckBox);
  controls->addStretch(1);
  controls->addWidget(ClearButton);

  auto* root = new QVBoxLayout(this);
  root->addLayout(controls);
  root->addWidget(StatusPlot, 1);

  StatusPlot->SetWindowSeconds(TimeWindowComboBox->currentData().toInt());
  repaintTimer_.setSingleShot(true);
  repaintTimer_.setInterval(kRepaintMs);
  connect(&repaintTimer_, &QTimer::timeout, StatusPlot, qOverload<>(&QWidget::update));
  connect(TimeWindowComboBox, qOverload<int>(&QComboBox::currentIndexChanged), this,
          [this](int) { StatusPlot->SetWindowSeconds(TimeWindowComboBox->currentData().toInt()); });
  connect(PauseCheckBox, &QCheckBox::toggled, StatusPlot, &StatusPlotWidget::SetPaused);
  connect(AutoscaleCheckBox, &QCheckBox::toggled, StatusPlot, &StatusPlotWidget::SetAutoscale);
  connect(ClearButton, &QPushButton::clicked, this, &TStatusPlotForm::ClearRequested);
}

void TStatusPlotForm::DataAdded() {
  if (!isVisible() || StatusPlot->Paused() || repaintTimer_.isActive()) return;
  repaintTimer_.start();
}

void TStatusPlotForm::HistoryCleared() {
  if (StatusPlot->Paused()) PauseCheckBox->setChecked(false);
  StatusPlot->update();
}

}  // namespace mv::ui
