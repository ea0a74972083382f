// The line-state lamp without its drawing: properties, the on-time rules and
// what the lamp must paint. The Qt lamp widget wraps one of these; tests drive
// it with a fake timer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/timer.h"

namespace PLKDVX {

enum TIndicatorShape : std::uint8_t { isSquare, isCircle };

// Colours are 24-bit values with red in the low byte, green in the middle
// byte and blue in the high byte (0x00FF00 is pure green).
using TColour = std::uint32_t;

class IndicatorState {
 public:
  using TimerFactory = std::function<std::unique_ptr<mv::Timer>()>;

  static constexpr int kMaxOnTime = 5000;
  static constexpr int kDefaultSize = 13;

  // The factory makes the one-shot on-time timer; it is called once, the
  // first time the lamp needs it, and the timer is reused afterwards (a pulse
  // per received byte must not cost an allocation).
  explicit IndicatorState(TimerFactory timerFactory);
  ~IndicatorState();
  IndicatorState(const IndicatorState&) = delete;
  IndicatorState& operator=(const IndicatorState&) = delete;

  const std::string& GetCopyright() const { return copyright_; }
  const std::string& GetVersion() const { return version_; }
  TColour GetBorderColour() const { return borderColour_; }
  bool GetBorderOn() const { return borderOn_; }
  TIndicatorShape GetShape() const { return shape_; }
  int GetOnTime() const { return onTime_; }
  TColour GetOffColour() const { return offColour_; }
  TColour GetOnColour() const { return onColour_; }
  bool GetStateOn() const { return stateOn_; }

  void SetCopyright(const std::string&) {}  // fixed text
  void SetVersion(const std::string&) {}    // fixed text
  void SetBorderColour(TColour c);
  void SetBorderOn(bool on);
  void SetShape(int shape);
  void SetOnTime(int ms);
  void SetOffColour(TColour c);
  void SetOnColour(TColour c);
  void SetStateOn(bool on);

  // The timer's handler: the on-time has passed.
  void OnTimerTimer();

  bool TimerRunning() const;
  bool PendingOff() const { return pendingOff_; }

  // What Paint draws: the fill is the on or off colour, the outline the
  // border colour, or the fill colour when the border is off.
  TColour FillColour() const { return stateOn_ ? onColour_ : offColour_; }
  TColour OutlineColour() const { return borderOn_ ? borderColour_ : FillColour(); }

  // Called whenever the lamp must be drawn again (Invalidate).
  std::function<void()> OnRepaint;

 private:
  void Repaint();
  void StartTimer();
  void StopTimer();

  TimerFactory timerFactory_;
  std::unique_ptr<mv::Timer> timer_;
  std::string copyright_;
  std::string version_;
  TColour borderColour_ = 0x000000;
  bool borderOn_ = true;
  TIndicatorShape shape_ = isCircle;
  int onTime_ = 0;
  TColour offColour_ = 0xFFFFFF;
  TColour onColour_ = 0x00FF00;
  bool stateOn_ = false;
  bool pendingOff_ = false;
};

}  // namespace PLKDVX
