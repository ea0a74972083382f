// A drive for scripts: the headless session of the command-line tool with the
// request tables of the windows, one request at a time, each call returning
// when its request has ended, with the drive's answers or a ScriptError that
// says why in the system's words.
//
// Threads: the port's workers run only while the port is open; closing joins
// them, and the destructor closes. Every call first makes the calling thread
// the session's GUI thread (BindToCurrentThread), so calls may come from any
// thread but never two at once (the binding holds a lock). The workers are
// started with the asynchronous signals blocked, so a signal meant for the
// script (Ctrl-C) reaches one of its own threads, never a worker.
//
// Waiting runs the loop in short slices; between slices the break check runs
// and may throw (Ctrl-C): the wait is abandoned, the port closed and the
// exception passed on.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "control/status_requests.h"
#include "core/timer.h"
#include "link/engine.h"
#include "link/main_requests.h"
#include "profiles/motor_profile.h"
#include "session/headless_session.h"

namespace mv::python {

// The drive's identity as the main window shows it.
struct DriveIdentity {
  std::string name, version, serialNo, hardwareId;
};

// One completed status poll.
struct StatusReading {
  StatusValues values;
  std::array<std::string, kStatusFieldCount> texts;  // as the status fields show them
  std::int64_t unixMs = 0;                           // wall clock when the poll completed
};

class BlockingDrive {
 public:
  explicit BlockingDrive(const PortChoice& choice);
  ~BlockingDrive();
  BlockingDrive(const BlockingDrive&) = delete;
  BlockingDrive& operator=(const BlockingDrive&) = delete;

  // Runs between the slices of every wait; may throw to abandon it.
  void SetBreakCheck(std::function<void()> check) { breakCheck_ = std::move(check); }
  // Makes the calling thread the one that runs the session.
  void BindToCurrentThread() { session_.BindToCurrentThread(); }

  // Opens the port (nothing happens when it is open). A request that was
  // still waiting when the port was closed ends by its timeout first.
  void Open();
  void Close();
  bool IsOpen() const;
  // The device the port stands for.
  std::string DevicePath() const;

  DriveIdentity Info();
  // Slot indexes 0..5.
  MotorProfile GetProfile(int slotIndex);
  void SaveProfile(int slotIndex, const MotorProfile& profile);
  std::array<MotorProfile, kSlotCount> GetAll();
  // The drive's answers to the six saves are not looked at, as with the
  // window's "Save all to Controller".
  void SaveAll(const std::array<MotorProfile, kSlotCount>& profiles);
  // 0..5, or kNoProfileIndex for none.
  void Activate(int slotIndex);
  void Start();
  void Stop();
  void Reset();
  // Sends the speed clamped as the speed edit clamps it; returns what was sent.
  std::int32_t SetSpeed(std::int64_t rpm);
  StatusReading Status();

  const LinkCounters& Counters() const;
  void ResetCounters();

 private:
  friend class StatusPoller;
  class View;

  // Runs until the request `send` started has ended; throws when it was
  // refused or abandoned.
  template <class Send>
  void Run(const char* what, Send send);
  // Takes what the port brought while the script was elsewhere, as the
  // window takes it when it comes: a late answer is counted and dropped, a
  // partial one expires, a request abandoned by a Ctrl-C ends by its timeout.
  void Settle();
  // Runs the loop until done() or the limit; false at the limit.
  bool Wait(const std::function<bool()>& done, std::chrono::milliseconds limit);
  [[noreturn]] void ThrowRefused(const char* what) const;
  [[noreturn]] void ThrowAbandoned(const char* what) const;
  StatusReading LastReading() const;

  std::unique_ptr<View> view_;
  HeadlessSession session_;
  std::function<void()> breakCheck_;
};

// Status polls at the control window's rules: the period clamped to
// 200..1500 ms, the first poll at once, then one per tick; a tick that finds
// the previous poll still running is lost, and one that comes while the
// script is busy elsewhere is served at the next call (never caught up).
// The drive must outlive the poller.
class StatusPoller {
 public:
  // count: how many polls in all (none = no end).
  StatusPoller(BlockingDrive& drive, std::int64_t periodMs, std::optional<std::int64_t> count);
  ~StatusPoller();
  StatusPoller(const StatusPoller&) = delete;
  StatusPoller& operator=(const StatusPoller&) = delete;

  std::int32_t PeriodMs() const { return periodMs_; }
  // The next poll's reading; false when `count` polls have been made.
  bool Next(StatusReading& out);
  // No more polls.
  void Stop();

 private:
  BlockingDrive& drive_;
  std::int32_t periodMs_;
  std::optional<std::int64_t> count_;
  std::int64_t made_ = 0;
  std::unique_ptr<Timer> timer_;
  bool waiting_ = false;      // inside Next(): a tick starts a poll
  bool tickPending_ = false;  // a tick came while the script was elsewhere
  bool stopped_ = false;
};

}  // namespace mv::python
