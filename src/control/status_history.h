// Recent status polls for the live plot, headless: a ring buffer with a fixed
// number of points per series (allocated once), time stamps in seconds on a
// monotonic clock, and the range of each series over a time window for
// autoscaling. Also the achieved poll rate of continuous polling.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "control/status_requests.h"

namespace mv {

// The plotted values, in the order of the plot's lanes.
enum class PlotSeries : std::uint8_t { Speed = 0, PhaseCurrent, PhasePower, BusVoltage, ControllerTemp, MotorTemp };
inline constexpr std::size_t kPlotSeriesCount = 6;

struct PlotSeriesInfo {
  PlotSeries series;
  StatusField field;  // the status field it comes from
  const char* name;   // lane caption
  const char* unit;   // display unit
  int decimals;       // digits after the point in its value text
};
extern const std::array<PlotSeriesInfo, kPlotSeriesCount> kPlotSeries;

// The value of a series in display units (as the status field shows it), or
// NaN when the poll brought no value for its field.
double PlotValue(PlotSeries series, const StatusValues& values);

inline constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();

struct ValueRange {
  double min = 0;
  double max = 0;
  bool valid = false;  // false when no point of the window has a value
};

class StatusHistory {
 public:
  // Ten minutes of polls at the fastest period (200 ms) is 3000 points.
  static constexpr std::size_t kDefaultCapacity = 4096;

  explicit StatusHistory(std::size_t capacity = kDefaultCapacity);

  // Appends one poll taken at time t (seconds, not before the last point's
  // time; an earlier time is taken as the last point's). When full, the
  // oldest point goes.
  void Add(double t, const StatusValues& values);
  // Appends raw series values (NaN for none); for tests and other sources.
  void Add(double t, const std::array<double, kPlotSeriesCount>& values);
  void Clear();

  std::size_t Size() const { return size_; }
  std::size_t Capacity() const { return times_.size(); }
  bool Empty() const { return size_ == 0; }

  // Point i, 0 being the oldest kept.
  double TimeAt(std::size_t i) const { return times_[Slot(i)]; }
  double ValueAt(PlotSeries s, std::size_t i) const { return values_[static_cast<std::size_t>(s)][Slot(i)]; }
  double LatestTime() const { return size_ == 0 ? 0.0 : TimeAt(size_ - 1); }

  // Index of the first point with time >= t (Size() when none).
  std::size_t FirstAtOrAfter(double t) const;
  // Smallest and largest value of a series over the points with time >= t0.
  ValueRange RangeSince(PlotSeries s, double t0) const;

 private:
  std::size_t Slot(std::size_t i) const { return (head_ + i) % times_.size(); }

  std::vector<double> times_;
  std::array<std::vector<double>, kPlotSeriesCount> values_;
  std::size_t head_ = 0;  // slot of the oldest point
  std::size_t size_ = 0;
};

// Completed polls per second over the last few seconds of polling.
class PollRateMeter {
 public:
  static constexpr std::size_t kKept = 32;   // completions remembered
  static constexpr double kSpanSeconds = 5;  // rate over at most this much time

  // A poll completed at time t (seconds, monotonic).
  void Completed(double t);
  void Reset() { count_ = 0; }
  // Polls per second at time `now`; 0 when fewer than two completions lie in
  // the span before `now`.
  double Rate(double now) const;

 private:
  std::array<double, kKept> times_{};
  std::size_t next_ = 0;
  std::size_t count_ = 0;
};

}  // namespace mv
