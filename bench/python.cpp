// What the Python module adds to a status poll: status() through
// `import morvane` against the same poll made directly on the core (drive
// client, the same the module stands on), both against one
// morvane-sim, in alternating rounds; the medians are compared.
//
// Prints:
//   python: status() P us per poll, C++ core C us per poll, +X % (goal: under 10 %); host CPU ...
#include <fcntl.h>
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
#include <vector>

#include "control/status_requests.h"
#include "session/drive_client.h"
#include "support/sim_process.h"

extern char** environ;

namespace {

constexpr int kRounds = 9;

// The median time of a poll and the host CPU time per poll, in microseconds;
// wall -1 when a poll failed.
struct PerPoll {
  double wall = -1, cpu = -1;
};

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Polls through the core in this process (bench_python --core DEVICE POLLS)
// and prints what bench/python_status.py prints: the median time of one
// poll (a poll now and then stretched by the machine's other work does not
// count), the host CPU time per poll, the timeouts and the errors.
int CoreChild(const std::string& device, int polls) {
  mv::PortChoice choice;
  choice.device = device;
  mv::DriveClient client(choice);
  if (!client.Open().ok) return 1;
  client.Status();
  client.ResetCounters();
  std::vector<double> each(static_cast<std::size_t>(polls));
  const double cpuStart = CpuSeconds();
  for (double& us : each) {
    const auto start = std::chrono::steady_clock::now();
    client.Status();
    us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
  }
  const double cpu = (CpuSeconds() - cpuStart) * 1e6;
  const mv::LinkCounters c = client.Counters();
  client.Close();
  std::sort(each.begin(), each.end());
  std::printf("%.1f %.1f %u %u\n", each[each.size() / 2], cpu / polls, c.to, c.errs);
  return 0;
}

std::string SelfPath() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

// One round in a process of its own: the core (this program with --core) or
// the module (bench/python_status.py), both measured the same way.
PerPoll Round(bool python, const std::string& device, int polls) {
  const std::string pythonPath = std::string("PYTHONPATH=") + MV_PYTHON_DIR;
  std::vector<std::string> env{pythonPath, "PYTHONDONTWRITEBYTECODE=1"};
  for (char** e = environ; *e != nullptr; ++e)
    if (std::string(*e).rfind("PYTHONPATH=", 0) != 0) env.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string count = std::to_string(polls);
  std::array<std::string, 4> args{MV_PYTHON_EXECUTABLE, MV_PYTHON_BENCH_SCRIPT, device, count};
  if (!python) args = {SelfPath(), "--core", device, count};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return {};
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
  if (pid <= 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  PerPoll r;
  unsigned timeouts = 0, errors = 0;
  if (std::sscanf(text.c_str(), "%lf %lf %u %u", &r.wall, &r.cpu, &timeouts, &errors) != 4 || timeouts != 0 ||
      errors != 0)
    return {};
  return r;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--core") return CoreChild(argv[2], std::atoi(argv[3]));
  const int polls = argc > 1 ? std::atoi(argv[1]) : 500;
  mvtest::SimProcess sim;
  if (!sim.Ok()) {
    std::fprintf(stderr, "bench_python: cannot start %s\n", MV_SIM_PATH);
    return 1;
  }
  // Rounds in pairs, in turn core first and Python first, each in a fresh
  // process; the medians of the rounds are compared.
  std::vector<double> coreWall, coreCpu, pythonWall, pythonCpu;
  for (int round = 0; round < kRounds; ++round) {
    PerPoll c, p;
    if (round % 2 == 0) {
      c = Round(false, sim.Path(), polls);
      p = Round(true, sim.Path(), polls);
    } else {
      p = Round(true, sim.Path(), polls);
      c = Round(false, sim.Path(), polls);
    }
    if (c.wall < 0 || p.wall < 0) {
      std::fprintf(stderr, "bench_python: a round failed (core %.1f us, python %.1f us)\n", c.wall, p.wall);
      return 1;
    }
    coreWall.push_back(c.wall);
    coreCpu.push_back(c.cpu);
    pythonWall.push_back(p.wall);
    pythonCpu.push_back(p.cpu);
  }
  const double c = Median(coreWall), p = Median(pythonWall);
  std::printf(
      "python: status() %.0f us per poll, C++ core %.0f us per poll, %+.1f %% (goal: under 10 %%); host CPU %.0f "
      "against %.0f us per poll (median of %d rounds of %d polls each)\n",
      p, c, (p - c) / c * 100.0, Median(pythonCpu), Median(coreCpu), kRounds, polls);
  return 0;
}
