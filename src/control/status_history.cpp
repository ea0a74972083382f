#include "control/status_history.h"

#include <algorithm>
#include <cmath>

namespace mv {

const std::array<PlotSeriesInfo, kPlotSeriesCount> kPlotSeries = {{
    {PlotSeries::Speed, StatusField::MotorSpeed, "Speed", "RPM", 0},
    {PlotSeries::PhaseCurrent, StatusField::PhaseCurrent, "Phase Current", "A", 1},
    {PlotSeries::PhasePower, StatusField::PhasePower, "Phase Power", "W", 0},
    {PlotSeries::BusVoltage, StatusField::BusVoltage, "Bus Voltage", "V", 1},
    {PlotSeries::ControllerTemp, StatusField::ControllerTemp, "Controller Temp", "C", 0},
    {PlotSeries::MotorTemp, StatusField::MotorTemp, "Motor Temp", "R", 0},
}};

double PlotValue(PlotSeries series, const StatusValues& v) {
  const StatusField field = kPlotSeries[static_cast<std::size_t>(series)].field;
  if (!v.Has(field)) return kNoValue;
  switch (series) {
    case PlotSeries::Speed: return v.SpeedRpm();
    case PlotSeries::PhaseCurrent: return v.PhaseCurrentA();
    case PlotSeries::PhasePower: return v.PhasePowerW();
    case PlotSeries::BusVoltage: return v.BusVoltageV();
    case PlotSeries::ControllerTemp: return v.ControllerTempC();
    case PlotSeries::MotorTemp: return v.MotorTempR();
  }
  return kNoValue;
}

StatusHistory::StatusHistory(std::size_t capacity) : times_(std::max<std::size_t>(capacity, 2)) {
  for (auto& series : values_) series.assign(times_.size(), kNoValue);
}

void StatusHistory::Add(double t, const StatusValues& values) {
  std::array<double, kPlotSeriesCount> row{};
  for (std::size_t s = 0; s < kPlotSeriesCount; ++s) row[s] = PlotValue(static_cast<PlotSeries>(s), values);
  Add(t, row);
}

void StatusHistory::Add(double t, const std::array<double, kPlotSeriesCount>& row) {
  // Time never runs backwards in the buffer, so the window search can bisect.
  if (size_ > 0 && !(t >= LatestTime())) t = LatestTime();
  std::size_t slot;
  if (size_ < times_.size()) {
    slot = Slot(size_);
    ++size_;
  } else {
    slot = head_;
    head_ = (head_ + 1) % times_.size();
  }
  times_[slot] = t;
  for (std::size_t s = 0; s < kPlotSeriesCount; ++s) values_[s][slot] = row[s];
}

void StatusHistory::Clear() {
  head_ = 0;
  size_ = 0;
}

std::size_t StatusHistory::FirstAtOrAfter(double t) const {
  std::size_t lo = 0, hi = size_;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (TimeAt(mid) < t)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

ValueRange StatusHistory::RangeSince(PlotSeries s, double t0) const {
  ValueRange r;
  for (std::size_t i = FirstAtOrAfter(t0); i < size_; ++i) {
    const double v = ValueAt(s, i);
    if (std::isnan(v)) continue;
    if (!r.valid) {
      r = {v, v, true};
    } else {
      r.min = std::min(r.min, v);
      r.max = std::max(r.max, v);
    }
  }
  return r;
}

void PollRateMeter::Completed(double t) {
  times_[next_] = t;
  next_ = (next_ + 1) % kKept;
  if (count_ < kKept) ++count_;
}

double PollRateMeter::Rate(double now) const {
  // Walk back from the newest completion while it lies within the span.
  std::size_t n = 0;
  double newest = 0, oldest = 0;
  for (std::size_t k = 0; k < count_; ++k) {
    const double t = times_[(next_ + kKept - 1 - k) % kKept];
    if (t < now - kSpanSeconds) break;
    if (n == 0) newest = t;
    oldest = t;
    ++n;
  }
  if (n < 2 || newest <= oldest) return 0;
  return static_cast<double>(n - 1) / (newest - oldest);
}

}  // namespace mv
