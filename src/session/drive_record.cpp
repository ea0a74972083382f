#include "session/drive_record.h"

namespace mv {

DriveRecord::DriveRecord() {
  for (int i = 0; i < kSlotCount; ++i) slots[static_cast<std::size_t>(i)] = MotorProfileDefaults(i);
}

void DriveRecord::ShowMessage(const char* t) { messages.push_back({t, engine != nullptr ? engine->StepIndex() : 0}); }

void DriveRecord::SetProfileSlot(int i, const MotorProfile& p) {
  if (i < 0 || i >= kSlotCount) {
    strayIndex = i;
    return;
  }
  slots[static_cast<std::size_t>(i)] = p;
  received[static_cast<std::size_t>(i)] = true;
}

void DriveRecord::StatusPollDone(const StatusValues& v) {
  values = v;
  ++pollsDone;
  PollDone(v);
}

void DriveRecord::RequestEnded(RequestOutcome o) {
  if (o == RequestOutcome::Completed) return;
  if (failures++ == 0) firstFailure = o;
}

}  // namespace mv
