// morvane-sim: a simulated drive on a pseudo-terminal.
//
// Prints the terminal's path (e.g. /dev/pts/5) on the first line of stdout,
// optionally links it into the port map as COMn (see port_map_link.h), and
// answers frames until SIGINT or SIGTERM; then removes its link.
//
// A pseudo-terminal moves bytes at once. With --baud the simulator keeps the
// time a real line would take instead: a received byte counts as arrived one
// byte time (10 bits) after the one before, a frame is acted on when its last
// byte has arrived, and every answer byte is handed over one byte time after
// the one before. With --stall it stops reading for a while, as a drive that
// is busy elsewhere, so the host's frames wait in the line. With --replay it
// plays the drive's side of a link trace instead of a drive (sim_replay.h).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "tools/sim/port_map_link.h"
#include "tools/sim/sim_drive.h"
#include "tools/sim/sim_replay.h"

namespace {

const char* kUsage =
    "usage: morvane-sim [--com N] [--trace] [--fault KIND[:COMMAND[:NTH]]]... [--fault-rate P] [--seed N]\n"
    "                   [--supply DECIVOLT] [--serial N] [--baud B] [--stall MS[@FRAME]]...\n"
    "       morvane-sim [--com N] [--trace] [--baud B] --replay TRACE\n"
    "  --com N          link the terminal into the port map as COMN (1..255)\n"
    "  --trace          log every received frame to stderr in hex\n"
    "  --fault ...      none (no answer), late (first byte after 150 ms), gap (pause of 120 ms inside\n"
    "                   the payload), badcode, badsum (profile with a wrong checksum), refuse (save\n"
    "                   answered as not changed), garbage (random bytes); COMMAND limits it to one\n"
    "                   command byte, NTH to the n-th frame of that command\n"
    "  --fault-rate P   apply a matching fault with probability P (0..1, default 1)\n"
    "  --seed N         seed of the random choices (default 1)\n"
    "  --supply DV      supply voltage in 0.1 V (default 480)\n"
    "  --serial N       serial number the drive reports (default 4242)\n"
    "  --baud B         keep the line's pace at B bit/s (10 bits a byte) in both directions:\n"
    "                   110 300 600 1200 2400 4800 9600 19200 38400 57600 115200\n"
    "  --stall MS[@N]   stop reading for MS milliseconds when the N-th frame (default 1) starts\n"
    "  --replay TRACE   answer as the drive did in a link trace (morvane-cli drive --trace, the\n"
    "                   Link Trace window's Save): the same bytes after the same frames, with the\n"
    "                   same delays; a frame the trace does not hold is said on stderr and nothing\n"
    "                   is answered any more (exit status 3 at the end)\n";

volatile sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

int UsageError(const std::string& msg) {
  std::fprintf(stderr, "morvane-sim: %s\n%s", msg.c_str(), kUsage);
  return 2;
}

bool ParseLong(const char* s, long lo, long hi, long& out) {
  if (s == nullptr || *s == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s, &end, 0);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

double Now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Writes all bytes to the non-blocking master, waiting while it is full.
bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 100);
      if (gStop) return false;
    } else {
      return false;
    }
  }
  return true;
}

struct Stall {
  double seconds = 0;
  long frame = 1;
  bool done = false;
};

// "250" or "250@3".
bool ParseStall(const char* text, Stall& out) {
  if (text == nullptr) return false;
  const std::string t = text;
  const std::size_t at = t.find('@');
  long ms = 0, frame = 1;
  if (!ParseLong(t.substr(0, at).c_str(), 0, 600000, ms)) return false;
  if (at != std::string::npos && !ParseLong(t.substr(at + 1).c_str(), 1, 1000000000L, frame)) return false;
  out.seconds = static_cast<double>(ms) / 1000.0;
  out.frame = frame;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  mvsim::DriveOptions options;
  int com = 0;
  bool trace = false;
  double byteTime = 0;  // seconds a byte takes on the line; 0 = no pacing
  std::vector<Stall> stalls;
  std::string replayPath;
  const char* driveOption = nullptr;  // an option of the simulated drive, which a replay has no use for
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    long v = 0;
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--trace") {
      trace = true;
    } else if (a == "--replay") {
      if (next == nullptr || *next == '\0') return UsageError("--replay takes a trace file");
      replayPath = next;
      ++i;
    } else if (a == "--com") {
      if (!ParseLong(next, 1, 255, v)) return UsageError("--com takes a port number 1..255");
      com = static_cast<int>(v);
      ++i;
    } else if (a == "--fault") {
      if (next == nullptr) return UsageError("--fault takes KIND[:COMMAND[:NTH]]");
      mvsim::Fault f;
      std::string err;
      if (!mvsim::ParseFault(next, f, err)) return UsageError(err);
      options.faults.push_back(f);
      ++i;
    } else if (a == "--fault-rate") {
      char* end = nullptr;
      const double p = next ? std::strtod(next, &end) : -1;
      if (next == nullptr || *end != '\0' || !(p >= 0 && p <= 1)) return UsageError("--fault-rate takes 0..1");
      options.faultRate = p;
      ++i;
    } else if (a == "--seed") {
      if (!ParseLong(next, 0, 0xFFFFFFFFL, v)) return UsageError("--seed takes a number 0..4294967295");
      options.seed = static_cast<std::uint32_t>(v);
      ++i;
    } else if (a == "--supply") {
      if (!ParseLong(next, 0, 1000, v)) return UsageError("--supply takes 0..1000 (0.1 V)");
      options.supplyDeciVolt = static_cast<std::uint16_t>(v);
      ++i;
    } else if (a == "--baud") {
      static const long kRates[] = {110, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
      if (!ParseLong(next, 1, 115200, v) || std::find(std::begin(kRates), std::end(kRates), v) == std::end(kRates))
        return UsageError("--baud takes one of 110 300 600 1200 2400 4800 9600 19200 38400 57600 115200");
      byteTime = 10.0 / static_cast<double>(v);
      ++i;
    } else if (a == "--stall") {
      Stall st;
      if (!ParseStall(next, st)) return UsageError("--stall takes MS[@FRAME] (MS 0..600000, FRAME from 1)");
      stalls.push_back(st);
      ++i;
    } else if (a == "--serial") {
      if (!ParseLong(next, 0, 65535, v)) return UsageError("--serial takes 0..65535");
      options.serialNo = static_cast<std::uint16_t>(v);
      ++i;
    } else {
      return UsageError("unknown argument '" + a + "'");
    }
    if (a == "--fault" || a == "--fault-rate" || a == "--seed" || a == "--supply" || a == "--serial" || a == "--stall")
      driveOption = argv[i - 1];
  }
  mvsim::Replay replay;
  const bool replaying = !replayPath.empty();
  if (replaying && driveOption != nullptr)
    return UsageError(std::string("--replay answers as the trace did; it takes no ") + driveOption);
  if (std::string error; replaying && !replay.Load(replayPath, error)) {
    std::fprintf(stderr, "morvane-sim: %s\n", error.c_str());
    return 1;
  }

  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::fprintf(stderr, "morvane-sim: cannot make a pseudo-terminal: %s\n", std::strerror(errno));
    return 1;
  }
  const char* name = ptsname(master);
  if (name == nullptr) {
    std::fprintf(stderr, "morvane-sim: cannot name the pseudo-terminal: %s\n", std::strerror(errno));
    return 1;
  }
  const std::string slavePath = name;
  // Held open here too, so the terminal survives the host closing and
  // reopening it.
  const int slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
  if (slave < 0) {
    std::fprintf(stderr, "morvane-sim: cannot open %s: %s\n", slavePath.c_str(), std::strerror(errno));
    return 1;
  }
  termios tio{};
  tcgetattr(slave, &tio);
  cfmakeraw(&tio);
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  tcsetattr(slave, TCSANOW, &tio);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  // Packet mode: a read tells, before any data, when the host has thrown
  // away what it had not sent yet (tcflush TCOFLUSH on its side).
  int packet = 1;
  ioctl(master, TIOCPKT, &packet);

  mvsim::PortMapLink link;
  if (std::string error; com != 0 && !link.Create(com, slavePath, error)) {
    std::fprintf(stderr, "morvane-sim: %s\n", error.c_str());
    return 1;
  }

  std::printf("%s\n", slavePath.c_str());
  std::fflush(stdout);
  if (com != 0) std::fprintf(stderr, "morvane-sim: COM%d -> %s\n", com, slavePath.c_str());
  if (replaying && trace) {
    std::fprintf(stderr, "morvane-sim: replay of %s: %zu frames", replayPath.c_str(), replay.Frames());
    if (replay.SkippedBytes() > 0)
      std::fprintf(stderr, " (%zu bytes before the first left out)", replay.SkippedBytes());
    std::fputc('\n', stderr);
  }

  sigset_t block, waitMask;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigprocmask(SIG_BLOCK, &block, &waitMask);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  mvsim::SimDrive drive(options);
  std::vector<mvsim::Chunk> pending;  // answers not yet due, sorted by due time
  // Answer bytes on their way, each with the time it has fully crossed the line.
  std::deque<std::pair<double, std::uint8_t>> outgoing;
  double txLineFree = 0;  // when the line towards the host is free again
  // Received bytes not yet taken in (read ahead of a stall), and complete
  // frames waiting for their last byte to have arrived.
  std::deque<std::uint8_t> inbox;
  std::deque<std::pair<double, std::vector<std::uint8_t>>> arrived;
  double rxLineFree = 0;  // when the line from the host has carried the last byte read
  double stallUntil = -1;
  long framesStarted = 0;
  std::vector<std::uint8_t> frame;
  int need = -1;  // data bytes still expected for the frame in `frame`; -1 = none started
  double lastByteAt = 0;
  // A frame whose bytes stop coming is dropped after this long.
  constexpr double kPartialFrameLimit = 0.2;
  // Answers nobody reads: on a real line bytes sent while the host has the
  // port closed are lost; here the terminal (held open by this program too)
  // would keep them for the host's next session. Bytes still unread this long
  // after they were sent are discarded.
  constexpr double kUnreadLimit = 0.25;
  double unreadCheck = -1;  // when to look for unread bytes; -1 = nothing sent since the last look

  auto schedule = [&](std::vector<mvsim::Chunk>& out) {
    for (auto& c : out) {
      auto pos = std::upper_bound(pending.begin(), pending.end(), c.due,
                                  [](double due, const mvsim::Chunk& x) { return due < x.due; });
      pending.insert(pos, std::move(c));
    }
  };
  auto traceFrame = [&](const char* what, const std::vector<std::uint8_t>& bytes) {
    if (!trace) return;
    std::string line = std::string("morvane-sim: ") + what;
    char hex[4];
    for (std::uint8_t b : bytes) {
      std::snprintf(hex, sizeof hex, " %02X", b);
      line += hex;
    }
    std::fprintf(stderr, "%s\n", line.c_str());
  };

  // Takes received bytes in, one at a time, until the inbox is empty or a
  // stall begins.
  auto takeIn = [&](double now) {
    while (!inbox.empty()) {
      if (stallUntil >= 0 && now < stallUntil) return;
      if (need < 0) {
        for (Stall& st : stalls) {
          if (st.done || st.frame != framesStarted + 1) continue;
          st.done = true;
          stallUntil = now + st.seconds;
          if (trace)
            std::fprintf(stderr, "morvane-sim: stalled for %.0f ms before frame %ld\n", st.seconds * 1000,
                         framesStarted + 1);
          return;
        }
      }
      const std::uint8_t b = inbox.front();
      inbox.pop_front();
      rxLineFree = std::max(rxLineFree, now) + byteTime;
      lastByteAt = rxLineFree;
      if (replaying) {
        // The trace frames the host's bytes: each is compared as it comes.
        std::vector<mvsim::Chunk> out;
        const std::size_t before = replay.Answered();
        frame.push_back(b);
        replay.Byte(b, rxLineFree, out);
        if (replay.Answered() != before || replay.Stopped()) {
          traceFrame("rx", frame);
          frame.clear();
        }
        need = replay.MidFrame() ? 1 : -1;
        schedule(out);
        if (const std::string note = replay.TakeNote(); !note.empty())
          std::fprintf(stderr, "morvane-sim: %s\n", note.c_str());
        continue;
      }
      if (need < 0) {
        frame.assign(1, b);
        need = mvsim::CommandDataLength(b);
        ++framesStarted;
      } else {
        frame.push_back(b);
        --need;
      }
      if (need == 0) {
        arrived.emplace_back(rxLineFree, std::move(frame));
        frame.clear();
        need = -1;
      }
    }
  };

  std::uint8_t buf[4096];
  while (!gStop) {
    double now = Now();
    // Frames whose last byte has arrived.
    while (!arrived.empty() && arrived.front().first <= now) {
      const double at = arrived.front().first;
      const std::vector<std::uint8_t> f = std::move(arrived.front().second);
      arrived.pop_front();
      traceFrame("rx", f);
      std::vector<mvsim::Chunk> out;
      drive.HandleFrame(f[0], f.data() + 1, static_cast<int>(f.size()) - 1, at, out);
      schedule(out);
    }
    // Answers that are due go on the line, a byte time apart.
    while (!pending.empty() && pending.front().due <= now) {
      for (std::uint8_t b : pending.front().bytes) {
        txLineFree = std::max(txLineFree, pending.front().due) + byteTime;
        outgoing.emplace_back(txLineFree, b);
      }
      pending.erase(pending.begin());
    }
    if (!outgoing.empty() && outgoing.front().first <= now) {
      std::vector<std::uint8_t> bytes;
      while (!outgoing.empty() && outgoing.front().first <= now) {
        bytes.push_back(outgoing.front().second);
        outgoing.pop_front();
      }
      WriteAll(master, bytes);
      unreadCheck = now + kUnreadLimit;
    }
    if (unreadCheck >= 0 && now >= unreadCheck) {
      int unread = 0;
      if (ioctl(slave, TIOCINQ, &unread) == 0 && unread > 0) {
        tcflush(slave, TCIFLUSH);
        if (trace) std::fprintf(stderr, "morvane-sim: discarded %d unread bytes\n", unread);
      }
      unreadCheck = -1;
    }
    if (stallUntil >= 0 && now >= stallUntil) stallUntil = -1;
    const bool stalled = stallUntil >= 0;
    if (!stalled) takeIn(now);
    if (need > 0 && now - lastByteAt > kPartialFrameLimit) {
      traceFrame("dropped partial frame", frame);
      frame.clear();
      need = -1;
      replay.DropPartial();
    }

    double wait = 1.0;
    if (!arrived.empty()) wait = std::min(wait, arrived.front().first - now);
    if (!pending.empty()) wait = std::min(wait, pending.front().due - now);
    if (!outgoing.empty()) wait = std::min(wait, outgoing.front().first - now);
    if (need > 0) wait = std::min(wait, lastByteAt + kPartialFrameLimit - now + 0.001);
    if (unreadCheck >= 0) wait = std::min(wait, unreadCheck - now);
    if (stalled) wait = std::min(wait, stallUntil - now);
    wait = std::max(wait, 0.0);
    timespec ts{static_cast<time_t>(wait), static_cast<long>((wait - static_cast<long>(wait)) * 1e9)};
    // While stalled the host's bytes wait in the line (the inbox): they are
    // read, but not taken in.
    pollfd p{master, POLLIN, 0};
    const int r = ppoll(&p, 1, &ts, &waitMask);
    if (r < 0) continue;  // a signal: the loop condition sees it
    if (r == 0 || !(p.revents & POLLIN)) {
      if (p.revents & (POLLHUP | POLLERR)) usleep(10000);
      continue;
    }
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) continue;
    if (buf[0] != TIOCPKT_DATA) {
      if (buf[0] & TIOCPKT_FLUSHWRITE) {
        // The host withdrew what it had not sent: whatever is still on the
        // line (not yet taken in by the drive) never arrives.
        const double at = Now();
        std::size_t dropped = inbox.size();
        inbox.clear();
        while (!arrived.empty() && arrived.back().first > at) {
          dropped += arrived.back().second.size();
          arrived.pop_back();
        }
        if (need > 0 && lastByteAt > at) {
          dropped += frame.size();
          frame.clear();
          need = -1;
          replay.DropPartial();
        }
        if (trace && dropped > 0) std::fprintf(stderr, "morvane-sim: the host withdrew %zu bytes\n", dropped);
      }
      continue;
    }
    inbox.insert(inbox.end(), buf + 1, buf + n);
    takeIn(Now());
  }

  link.Remove();
  close(slave);
  close(master);
  return replay.Stopped() ? 3 : 0;
}
