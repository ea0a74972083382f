// What the Python module adds to a status poll: status() through
// `import morvane` against the same poll made directly on the core (drive
// session, headless loop, the control window's request), both against one
// morvane-sim, in alternating rounds; the medians are compared.
//
// Prints:
//   python: status() P us per poll, C++ core C us per poll, +X % (goal: under 10 %)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "control/status_requests.h"
#include "session/headless_session.h"
#include "support/sim_process.h"

extern char** environ;

namespace {

constexpr int kRounds = 5;

struct NoWindow final : mv::ControlStatusView {
  void SetStatusFieldText(mv::StatusField, const char*) override {}
  void SetStatusLamps(std::uint16_t) override {}
  void SetInternalStatusLamps(std::uint16_t) override {}
};

// Microseconds per poll through the core; -1 when a poll failed.
double CorePolls(const std::string& device, int polls) {
  mv::PortChoice choice;
  choice.device = device;
  mv::HeadlessSession s(choice);
  NoWindow window;
  s.Session().SetControlView(window);
  std::string why;
  if (!s.Open(why)) return -1;
  mv::ControlStatusRequests& control = s.Session().Control();
  control.GetStatus();
  s.RunUntilIdle();
  s.Session().Engine().ResetCounters();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < polls; ++i) {
    control.GetStatus();
    s.RunUntilIdle();
  }
  const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
  const mv::LinkCounters c = s.Session().Engine().Counters();
  s.Session().Port().Close();
  s.Session().ClearViews();
  return c.to == 0 && c.errs == 0 ? us / polls : -1;
}

// Microseconds per poll through the module (bench/python_status.py); -1 when
// it failed.
double PythonPolls(const std::string& device, int polls) {
  const std::string pythonPath = std::string("PYTHONPATH=") + MV_PYTHON_DIR;
  std::vector<std::string> env{pythonPath, "PYTHONDONTWRITEBYTECODE=1"};
  for (char** e = environ; *e != nullptr; ++e)
    if (std::string(*e).rfind("PYTHONPATH=", 0) != 0) env.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string count = std::to_string(polls);
  std::array<std::string, 4> args{MV_PYTHON_EXECUTABLE, MV_PYTHON_BENCH_SCRIPT, device, count};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  std::string text;
  char buffer[256];
  for (ssize_t n; pid > 0 && (n = read(out[0], buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  close(out[0]);
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  double us = 0;
  unsigned timeouts = 0, errors = 0;
  if (std::sscanf(text.c_str(), "%lf %u %u", &us, &timeouts, &errors) != 3 || timeouts != 0 || errors != 0) return -1;
  return us;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int polls = argc > 1 ? std::atoi(argv[1]) : 1000;
  mvtest::SimProcess sim;
  if (!sim.Ok()) {
    std::fprintf(stderr, "bench_python: cannot start %s\n", MV_SIM_PATH);
    return 1;
  }
  std::vector<double> core, python;
  for (int round = 0; round < kRounds; ++round) {
    core.push_back(CorePolls(sim.Path(), polls));
    python.push_back(PythonPolls(sim.Path(), polls));
    if (core.back() < 0 || python.back() < 0) {
      std::fprintf(stderr, "bench_python: a round failed (core %.1f us, python %.1f us)\n", core.back(), python.back());
      return 1;
    }
  }
  const double c = Median(core), p = Median(python);
  std::printf(
      "python: status() %.0f us per poll, C++ core %.0f us per poll, %+.1f %% (goal: under 10 %%; %d rounds of %d "
      "polls)\n",
      p, c, (p - c) / c * 100.0, kRounds, polls);
  return 0;
}
