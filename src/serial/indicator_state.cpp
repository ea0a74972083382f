#include "serial/indicator_state.h"

namespace PLKDVX {

IndicatorState::IndicatorState(TimerFactory timerFactory)
    : timerFactory_(std::move(timerFactory)),
      copyright_("Line-state lamp, Morvane serial components"),
      version_("1.00") {}

IndicatorState::~IndicatorState() {
  if (timer_) {
    timer_->SetEnabled(false);
    timer_->OnTimer = nullptr;
  }
}

void IndicatorState::Repaint() {
  if (OnRepaint) OnRepaint();
}

bool IndicatorState::TimerRunning() const { return timer_ && timer_->Enabled(); }

void IndicatorState::SetBorderColour(TColour c) {
  c &= 0xFFFFFF;
  if (c == borderColour_) return;
  borderColour_ = c;
  Repaint();
}

void IndicatorState::SetBorderOn(bool on) {
  if (on == borderOn_) return;
  borderOn_ = on;
  Repaint();
}

void IndicatorState::SetShape(int shape) {
  if (shape < isSquare || shape > isCircle || shape == shape_) return;
  shape_ = static_cast<TIndicatorShape>(shape);
  Repaint();
}

void IndicatorState::SetOffColour(TColour c) {
  c &= 0xFFFFFF;
  if (c == offColour_) return;
  offColour_ = c;
  Repaint();
}

void IndicatorState::SetOnColour(TColour c) {
  c &= 0xFFFFFF;
  if (c == onColour_) return;
  onColour_ = c;
  Repaint();
}

void IndicatorState::SetOnTime(int ms) {
  if (ms < 0 || ms > kMaxOnTime) return;
  if (onTime_ == 0 && ms > 0 && stateOn_) {
    stateOn_ = false;
    Repaint();
  }
  // A timer that is already running keeps the interval it was started with.
  onTime_ = ms;
}

void IndicatorState::StartTimer() {
  if (!timer_) {
    if (!timerFactory_) return;
    timer_ = timerFactory_();
    if (!timer_) return;
    timer_->OnTimer = [this] { OnTimerTimer(); };
  }
  timer_->SetEnabled(false);
  timer_->SetInterval(onTime_);
  timer_->SetEnabled(true);
}

void IndicatorState::StopTimer() {
  if (timer_) timer_->SetEnabled(false);
}

void IndicatorState::SetStateOn(bool on) {
  if (onTime_ == 0) {
    if (on != stateOn_) {
      stateOn_ = on;
      Repaint();
    }
    return;
  }
  if (!stateOn_) {
    if (!on) return;
    stateOn_ = true;
    pendingOff_ = false;
    Repaint();
    StartTimer();
    return;
  }
  if (!TimerRunning()) {
    // The on-time has passed: an off request takes effect at once.
    if (!on) {
      stateOn_ = false;
      Repaint();
    }
    return;
  }
  if (!on) {
    pendingOff_ = true;
    return;
  }
  // On again while the on-time runs: it counts again from now.
  StopTimer();
  pendingOff_ = false;
  StartTimer();
}

void IndicatorState::OnTimerTimer() {
  StopTimer();  // fires once
  if (pendingOff_) {
    pendingOff_ = false;
    stateOn_ = false;
    Repaint();
  }
}

}  // namespace PLKDVX
