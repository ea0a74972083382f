// Link throughput against morvane-sim on a pseudo-terminal, through the real
// port component, the request engine and the main window's request tables:
//  1. "Get all" (six profile requests) repeated: requests per second and host
//     CPU time per request, next to the time the frames would take on a
//     115200-baud line (6 x (2 + 224) bytes x 10 bits = 118 ms).
//  2. 10000 consecutive status polls (nine steps each), ending with TO=0 and
//     Errs=0.
//  3. What the link's flight recorder (always on) costs of both: the recorder
//     alone, fed the events of one get-all and one poll many times, against
//     the host CPU they take; and the same runs again in turns with the
//     recorder off and on. The goal is at most 2 %.
// Usage: bench_link_getall [GETALL_REPEATS [STATUS_POLLS]]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "control/status_requests.h"
#include "link/engine.h"
#include "link/main_requests.h"
#include "serial/TDVXCOMPort.h"
#include "serial/headless_loop.h"
#include "session/drive_session.h"
#include "session/link_recorder.h"

extern char** environ;

namespace {

// Counts the results that were not what a caller wants.
struct Results {
  int bad = 0;
  void Main(const mv::MainResult& r) { bad += r.Ok() ? 0 : 1; }
  void Control(const mv::ControlResult& r) { bad += r.Ok() ? 0 : 1; }
};

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The recorder alone: the events of `count` steps, each a frame of
// `frameLength` bytes and an answer of `answerLength`, `rounds` times.
// Microseconds of CPU per request.
double RecorderUsPerRequest(std::uint32_t count, std::uint32_t frameLength, std::uint32_t answerLength,
                            std::uint8_t command, int rounds) {
  mv::LinkRecorder recorder;
  std::array<mv::RequestStep, 9> steps{};
  for (auto& s : steps) s.command = command;
  std::array<std::uint8_t, mv::kTraceDataSize> frame{};
  frame[0] = command;
  const mv::Response response{};
  const double c0 = CpuSeconds();
  for (int r = 0; r < rounds; ++r) {
    recorder.RequestBegun(steps.data(), count, false);
    for (std::uint32_t step = 1; step <= count; ++step) {
      recorder.FrameSent(step, frame.data(), frameLength, true);
      for (std::uint32_t i = 0; i < answerLength; ++i)
        recorder.ByteReceived(static_cast<std::uint8_t>(i), mv::ByteUse::Part);
      recorder.ResponseComplete(response, true);
    }
    recorder.RequestEnded(mv::RequestEnd{mv::RequestOutcome::Completed, count, count, true});
  }
  return (CpuSeconds() - c0) / rounds * 1e6;
}

pid_t StartSim(std::string& path) {
  int out[2];
  if (pipe(out) != 0) return -1;
  char* argv[] = {const_cast<char*>(MV_SIM_PATH), nullptr};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_addclose(&fa, out[0]);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &fa, nullptr, argv, environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  char c;
  pollfd p{out[0], POLLIN, 0};
  while (pid > 0 && poll(&p, 1, 5000) == 1 && read(out[0], &c, 1) == 1 && c != '\n') path += c;
  close(out[0]);
  return pid;
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::atoi(argv[1]) : 200;
  const int polls = argc > 2 ? std::atoi(argv[2]) : 10000;
  std::string path;
  const pid_t sim = StartSim(path);
  if (sim <= 0 || path.empty()) {
    std::fprintf(stderr, "bench_link_getall: cannot start %s\n", MV_SIM_PATH);
    return 1;
  }
  int rc = 0;
  {
    mv::HeadlessLoop loop;
    std::unique_ptr<mv::Timer> timer = loop.CreateTimer();
    mv::DriveSession session(loop.Queue(), *timer);
    Results results;
    session.SetMainSink(mv::MainResultSink::Bind<&Results::Main>(&results));
    session.SetControlSink(mv::ControlResultSink::Bind<&Results::Control>(&results));
    mv::RequestEngine& engine = session.Engine();
    mv::MainRequests& main = session.Main();
    mv::ControlStatusRequests& control = session.Control();
    PLKDVX::TDVXCOMPort& port = session.Port();
    session.OnReport = [&](const mv::PortReport& r) {
      if (r.code == PLKDVX::rcTxRefused || r.code == PLKDVX::rcTxFailed)
        std::fprintf(stderr, "bench_link_getall: port: %s(): %s (%d) line %d\n", r.func.c_str(), r.desc.c_str(), r.err,
                     r.line);
    };
    port.SetDevicePathOverride(path);
    if (!port.Open()) {
      std::fprintf(stderr, "bench_link_getall: cannot open %s\n", path.c_str());
      rc = 1;
    } else {
      auto idle = [&] { return !engine.Busy(); };
      const auto t0 = std::chrono::steady_clock::now();
      const double c0 = CpuSeconds();
      for (int i = 0; i < repeats; ++i) {
        main.GetAllProfiles();
        loop.RunUntil(idle, std::chrono::seconds(10));
      }
      const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      const double cpu = CpuSeconds() - c0;
      const mv::LinkCounters g = engine.Counters();
      const double lineMs = 6.0 * (2 + 224) * 10 / 115200.0 * 1000.0;
      std::printf(
          "get-all x%d: %.1f get-all/s (%.0f profile requests/s), %.2f ms wall and %.2f ms host CPU per "
          "get-all, line time at 115200 baud %.0f ms; Tx=%u Rx=%u TO=%u Errs=%u Busy=%u\n",
          repeats, repeats / wall, 6 * repeats / wall, wall / repeats * 1000, cpu / repeats * 1000, lineMs, g.tx, g.rx,
          g.to, g.errs, g.busy);
      if (g.to != 0 || g.errs != 0 || results.bad != 0) rc = 1;

      engine.ResetCounters();
      const auto t1 = std::chrono::steady_clock::now();
      const double c1 = CpuSeconds();
      for (int i = 0; i < polls; ++i) {
        control.GetStatus();
        loop.RunUntil(idle, std::chrono::seconds(10));
      }
      const double wall2 = std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count();
      const double cpu2 = CpuSeconds() - c1;
      const mv::LinkCounters s = engine.Counters();
      std::printf("status polls x%d: %.0f polls/s, %.3f ms host CPU per poll; Tx=%u Rx=%u TO=%u Errs=%u Busy=%u\n",
                  polls, polls / wall2, cpu2 / polls * 1000, s.tx, s.rx, s.to, s.errs, s.busy);
      if (s.to != 0 || s.errs != 0 || results.bad != 0) rc = 1;

      // The recorder off and on by turns, request by request, so that both
      // meet the same load: host CPU per get-all and per poll. On a busy
      // machine this stays noisy; the recorder alone (below) is the measure.
      const int getAlls = std::max(2, repeats), statusPolls = std::max(2, polls);
      std::array<double, 2> getAllCpu{}, pollCpu{};
      auto once = [&](bool poll, int on, std::array<double, 2>& cpu) {
        engine.SetTrace(on != 0 ? &session.Recorder() : nullptr);
        const double c = CpuSeconds();
        if (poll)
          control.GetStatus();
        else
          main.GetAllProfiles();
        loop.RunUntil(idle, std::chrono::seconds(10));
        cpu[static_cast<std::size_t>(on)] += CpuSeconds() - c;
      };
      for (int i = 0; i < getAlls; ++i) once(false, i % 2, getAllCpu);
      for (int i = 0; i < statusPolls; ++i) once(true, i % 2, pollCpu);
      engine.SetTrace(&session.Recorder());
      const double getAllMs = getAllCpu[1] / (getAlls / 2) * 1000, pollMs = pollCpu[1] / (statusPolls / 2) * 1000;
      // The recorder alone: six profile answers (2-byte frames, 224-byte
      // answers); nine status answers (3 bytes).
      const double getAllUs = RecorderUsPerRequest(6, 2, 224, 0x35, 20000);
      const double pollUs = RecorderUsPerRequest(9, 1, 3, 0x74, 100000);
      const double getAllShare = getAllUs / 10 / getAllMs, pollShare = pollUs / 10 / pollMs;
      std::printf(
          "link trace recorder: %.2f %% of get-all host CPU (%.1f us of %.2f ms), %.2f %% of a status poll "
          "(%.1f us of %.3f ms), goal at most 2 %%; off and on by turns: get-all %+.1f %%, status poll %+.1f %%\n",
          getAllShare, getAllUs, getAllMs, pollShare, pollUs, pollMs, (getAllCpu[1] / getAllCpu[0] - 1) * 100,
          (pollCpu[1] / pollCpu[0] - 1) * 100);
      if (getAllShare > 2 || pollShare > 2) rc = 1;
      port.Close();
    }
    session.ClearSinks();
  }
  kill(sim, SIGTERM);
  waitpid(sim, nullptr, 0);
  return rc;
}
