// What the port needs from a lamp: switching it, and being told when the lamp
// goes away. A lamp widget implements IndicatorLamp; a port linked to a lamp
// asks for a free notification and clears its link when the lamp is destroyed.
// GUI thread only.
#pragma once

#include <vector>

namespace PLKDVX {

class IndicatorLamp;

class IndicatorLampObserver {
 public:
  // The lamp is being destroyed; drop every reference to it.
  virtual void Notification(IndicatorLamp* lamp) = 0;

 protected:
  virtual ~IndicatorLampObserver() = default;
};

class IndicatorLamp {
 public:
  IndicatorLamp() = default;
  IndicatorLamp(const IndicatorLamp&) = delete;
  IndicatorLamp& operator=(const IndicatorLamp&) = delete;
  // Tells every observer that the lamp is gone.
  virtual ~IndicatorLamp();

  virtual void SetStateOn(bool on) = 0;

  // Asks to be told when this lamp is destroyed (once per observer).
  void FreeNotification(IndicatorLampObserver* observer);
  void RemoveFreeNotification(IndicatorLampObserver* observer);

 private:
  std::vector<IndicatorLampObserver*> observers_;
};

}  // namespace PLKDVX
