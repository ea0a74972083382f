// The drive for programs without windows (the command-line tool, the Python
// module): one drive session on a thread of its own, and blocking calls from
// any thread that end in the request's typed result.
//
// Threads: the session, its engine and its port live on the client's own
// thread, which starts with every asynchronous signal blocked (the port's
// workers inherit that), so a signal meant for the program never lands on
// one of them. A call hands its job to that thread and waits; calls from
// several threads are served one at a time in the order they came, except
// Stop, which jumps the queue: it is sent as soon as the step in flight has
// ended, and the request it interrupts ends as Preempted. A call made while
// the same thread already waits in another call (a signal handler's call) is
// served before anything queued, once the running request has ended.
//
// Interruption: while a call waits, the interrupt check runs on the waiting
// thread every 20 ms. When it throws, the call is given up: its request ends
// once the step in flight has ended (nothing half-sent), the port stays open
// and the exception goes on; the next call is sent at once.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "control/status_requests.h"
#include "link/engine.h"
#include "link/main_requests.h"
#include "profiles/motor_profile.h"
#include "session/headless_session.h"
#include "session/link_recorder.h"

namespace mv {

// The short names by which the command-line tool and scripts call requests.
const char* RequestName(MainRequestKind kind);
const char* RequestName(ControlRequestKind kind);

// One line for a request that did not end well, in the words the command-line
// tool prints: "info: request refused: COM port not opened", "get-all: request
// abandoned at step 3: no answer from the drive (timeout)".
std::string FailureLine(const char* request, const RequestEnd& end);
// A slot's message box text on one line ("Motor profile 3: Invalid Checksum"),
// "" when the slot shows none.
std::string SlotLine(const MainResult& result, int slotIndex);

// The one error the client's checks raise: what ended how, and for a slot
// what the drive's answer meant.
class DriveError : public std::runtime_error {
 public:
  DriveError(const std::string& text, const char* requestName, const RequestEnd& requestEnd)
      : std::runtime_error(text), request(requestName), end(requestEnd) {}
  const char* request;
  RequestEnd end;
  int slot = -1;  // 0..5 when a slot's answer is the reason
  SlotOutcome slotOutcome = SlotOutcome::NotAsked;
  std::string windowText;  // the message box the window shows for it
};
// Throw DriveError unless the request completed with answers of its own
// (and, for profiles, every slot asked for came intact or was saved).
void RequireOk(const MainResult& result);
void RequireOk(const ControlResult& result);

struct OpenResult {
  bool ok = false;
  std::string why;  // in the window's words (busy, no permission and what to do, missing)
  int err = 0;      // the system's error number (0 = not the device's)
  std::string device;
};

class DriveClient {
 public:
  explicit DriveClient(const PortChoice& choice);
  // Closes the port (after a request in flight has ended) and ends the thread.
  ~DriveClient();
  DriveClient(const DriveClient&) = delete;
  DriveClient& operator=(const DriveClient&) = delete;

  // Runs on a waiting thread every 20 ms; throwing gives the call up (see above).
  void SetInterruptCheck(std::function<void()> check);
  // Every error report of the port as one line naming the device as chosen;
  // called on the client's thread. Set before the port is opened.
  void SetErrorLineHandler(std::function<void(const PortReport&, const std::string&)> handler);

  OpenResult Open();  // nothing happens when it is open
  void Close();
  bool IsOpen();
  std::string DevicePath();
  LinkCounters Counters();
  void ResetCounters();
  // What the link's recorder keeps, oldest first: a copy of its events and
  // the offset that turns their times into wall-clock time
  // (LinkRecorder::WallTimeUs).
  struct TraceCopy {
    std::vector<TraceEvent> events;
    std::int64_t wallOffsetUs = 0;
  };
  TraceCopy Trace();
  // Only the events recorded since `next` (a sequence number of the
  // recorder's ring, see TraceRing), and `next` moved past them; a `next`
  // beyond the newest event gives none and marks the newest.
  TraceCopy TraceSince(std::uint64_t& next);
  // The trace file's text of everything recorded so far.
  std::string TraceText();

  MainResult Info();
  MainResult GetProfile(int slotIndex);
  // A profile read for comparison only (result.scratch).
  MainResult ReadProfile(int slotIndex);
  MainResult SaveProfile(int slotIndex, const MotorProfile& profile);
  MainResult GetAll();
  MainResult SaveAll(const std::array<MotorProfile, kSlotCount>& profiles);
  MainResult Activate(int slotIndex);  // 0..5, kNoProfileIndex for none
  ControlResult Start();
  ControlResult Stop();
  ControlResult Reset();
  ControlResult SetSpeed(std::uint32_t rpm);  // already clamped by the caller
  ControlResult Status();

  // Status polls at the control window's pace: the first at once, then one
  // per period; a period that passes while the caller is elsewhere (or while
  // another request runs) is made up by one poll as soon as possible, never
  // by a burst.
  class Poll {
   public:
    ~Poll();
    Poll(const Poll&) = delete;
    Poll& operator=(const Poll&) = delete;
    std::int32_t PeriodMs() const { return periodMs_; }
    // The next poll's result; nothing once `count` polls have been made or
    // after Stop(). A closed port refuses at once.
    std::optional<ControlResult> Next();
    void Stop();

   private:
    friend class DriveClient;
    Poll(DriveClient& client, std::int32_t periodMs, std::optional<std::int64_t> count);
    DriveClient& client_;
    std::int32_t periodMs_;
    std::optional<std::int64_t> count_;
    std::int64_t made_ = 0;
    bool stopped_ = false;
    // Loop side.
    std::unique_ptr<Timer> timer_;
    bool due_ = true;
    bool started_ = false;
  };
  // periodMs as given (the caller clamps it); count: polls in all (none = no end).
  std::unique_ptr<Poll> StartPolling(std::int32_t periodMs, std::optional<std::int64_t> count);

 private:
  struct Job;
  void Run(const PortChoice& choice);
  // Caller side: hands the job to the client's thread and waits for its end.
  void Submit(Job& job);
  void Wait(Job& job);
  void GiveUp(Job& job);
  void OnLoop(const std::function<void()>& fn);
  // Client's thread.
  void Enqueue(Job& job);
  void Abandon(Job& job);
  void Pump();
  bool Startable(const Job& job) const;
  void Begin(Job& job);
  void Finish(Job& job);
  void MainEnded(const MainResult& result);
  void ControlEnded(const ControlResult& result);
  MainResult RunMain(MainRequestKind kind, int slot, const MotorProfile* profiles);
  ControlResult RunControl(ControlRequestKind kind, std::uint32_t rpm);

  std::function<void()> interruptCheck_;
  std::function<void(const PortReport&, const std::string&)> errorLine_;

  std::mutex mu_;
  std::condition_variable cv_;
  bool ready_ = false;
  std::atomic<bool> quit_{false};
  HeadlessSession* session_ = nullptr;  // lives on the client's thread
  // Client's thread only.
  Job* inbox_ = nullptr;  // handed over, newest first
  Job* head_ = nullptr;   // waiting to start, in order
  Job* tail_ = nullptr;
  Job* mainRunning_ = nullptr;
  Job* controlRunning_ = nullptr;
  Job* stopWaiters_ = nullptr;  // every call waiting for the Stop in flight
  bool stopInFlight_ = false;
  std::thread thread_;
};

}  // namespace mv
