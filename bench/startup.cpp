// Start-up time and memory footprint of morvane-host next to a bare Qt Widgets
// window built the same way (bench/bare_window). Each program runs on the
// offscreen platform with MORVANE_STARTUP_PROBE=1: it prints
// "startup-probe: window shown" once its window is shown and quits. Measured:
// the time from spawning to that line, and the peak resident memory (VmHWM,
// from the child's rusage). Runs alternate between the two programs; the
// medians are compared. Goal: the host within 1.5x of the bare window on both.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

#if defined(MV_HOST_PATH) && defined(MV_BARE_WINDOW_PATH)

constexpr const char* kMarker = "startup-probe: window shown";
constexpr int kRuns = 11;  // alternating; medians keep a busy machine's outliers out
constexpr double kGoal = 1.5;

struct Sample {
  bool ok = false;
  double ms = 0;      // spawn to marker
  double rssMiB = 0;  // peak resident set
  double cpuMs = 0;   // user + system time of the whole run
  std::string error;
};

Sample RunOnce(const char* program, const std::string& stateDir) {
  Sample s;
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string kv = *e;
    if (kv.rfind("QT_QPA_PLATFORM=", 0) == 0 || kv.rfind("MORVANE_STARTUP_PROBE=", 0) == 0 ||
        kv.rfind("XDG_STATE_HOME=", 0) == 0)
      continue;
    env.push_back(kv);
  }
  env.emplace_back("QT_QPA_PLATFORM=offscreen");
  env.emplace_back("MORVANE_STARTUP_PROBE=1");
  env.push_back("XDG_STATE_HOME=" + stateDir);  // the host's report log stays out of the user's home
  std::vector<char*> envp;
  for (auto& kv : env) envp.push_back(kv.data());
  envp.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    s.error = "pipe failed";
    return s;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  std::string path = program;
  char* argv[] = {path.data(), nullptr};
  pid_t pid = -1;
  const auto t0 = std::chrono::steady_clock::now();
  const int rc = posix_spawn(&pid, path.c_str(), &fa, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    s.error = std::string("cannot start ") + program + ": " + std::strerror(rc);
    return s;
  }

  std::string text;
  bool seen = false;
  const auto limit = t0 + std::chrono::seconds(30);
  while (!seen) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) != 1) break;
    char buf[256];
    const ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    seen = text.find(kMarker) != std::string::npos;
  }
  const auto t1 = std::chrono::steady_clock::now();
  close(out[0]);
  if (!seen) kill(pid, SIGKILL);

  int status = 0;
  rusage ru{};
  wait4(pid, &status, 0, &ru);
  if (!seen) {
    s.error = std::string(program) + " did not report its window shown (is the start-up probe in place?)";
    return s;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    s.error = std::string(program) + " did not exit cleanly after the probe";
    return s;
  }
  s.ok = true;
  s.ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
  s.rssMiB = static_cast<double>(ru.ru_maxrss) / 1024.0;  // kilobytes on Linux
  s.cpuMs = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
  return s;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int Bench() {
  char dirTemplate[] = "/tmp/mv-startup-XXXXXX";
  const char* dir = mkdtemp(dirTemplate);
  if (dir == nullptr) {
    std::perror("startup: mkdtemp");
    return 1;
  }
  const std::string stateDir = dir;
  const char* programs[2] = {MV_BARE_WINDOW_PATH, MV_HOST_PATH};
  std::vector<double> ms[2], rss[2], cpu[2];
  int rc = 0;
  // One warm-up run each (shared libraries and fonts into the page cache).
  for (int round = -1; round < kRuns && rc == 0; ++round) {
    for (int p = 0; p < 2; ++p) {
      const Sample s = RunOnce(programs[p], stateDir);
      if (!s.ok) {
        std::fprintf(stderr, "startup: %s\n", s.error.c_str());
        rc = 1;
        break;
      }
      if (round < 0) continue;
      ms[p].push_back(s.ms);
      rss[p].push_back(s.rssMiB);
      cpu[p].push_back(s.cpuMs);
    }
  }
  std::string cleanup = "rm -rf '" + stateDir + "'";
  if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "startup: could not remove %s\n", stateDir.c_str());
  if (rc != 0) return rc;

  const double bareMs = Median(ms[0]), hostMs = Median(ms[1]);
  const double bareRss = Median(rss[0]), hostRss = Median(rss[1]);
  const double timeRatio = hostMs / bareMs, rssRatio = hostRss / bareRss;
  const bool met = timeRatio <= kGoal && rssRatio <= kGoal;
  std::printf(
      "startup (offscreen, median of %d): morvane-host %.1f ms %.1f MiB peak RSS; bare Qt window %.1f ms "
      "%.1f MiB; host/bare %.2fx time %.2fx memory (goal within %.1fx: %s); CPU per run %.1f / %.1f ms\n",
      kRuns, hostMs, hostRss, bareMs, bareRss, timeRatio, rssRatio, kGoal, met ? "met" : "MISSED", Median(cpu[1]),
      Median(cpu[0]));
  return met ? 0 : 1;
}

#else

int Bench() {
  std::printf("startup: skipped (built without the desktop application)\n");
  return 0;
}

#endif

}  // namespace

int main() { return Bench(); }
