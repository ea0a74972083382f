#include "serial/indicator_link.h"

#include <algorithm>

namespace PLKDVX {

IndicatorLamp::~IndicatorLamp() {
  // An observer may unregister others while being told; work on a copy.
  std::vector<IndicatorLampObserver*> observers;
  observers.swap(observers_);
  for (IndicatorLampObserver* o : observers) o->Notification(this);
}

void IndicatorLamp::FreeNotification(IndicatorLampObserver* observer) {
  if (observer && std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
    observers_.push_back(observer);
}

void IndicatorLamp::RemoveFreeNotification(IndicatorLampObserver* observer) {
  observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

}  // namespace PLKDVX
