// Serial devices through termios and ioctl. Each blocking call polls the
// device together with eventfds, so purges and shutdown can always end it.
//
// The modem lines are the exception: the kernel tells of their changes only
// through the TIOCMIWAIT ioctl, which cannot be polled. The status wait blocks
// in it (an idle open port wakes nobody) and is woken by a signal, SIGRTMIN+4,
// sent to its thread (see PokeModemWait); breaks and line errors found by the
// receive path, a wake-up for closing and settings changes all poke it.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "serial/platform.h"

namespace mv {

struct PlatformEvent {
  int fd = -1;
  // The device whose status wait blocks in TIOCMIWAIT with this event as its
  // wake-up, or null: setting the event must also interrupt that ioctl.
  std::atomic<PlatformDevice*> modemWaiter{nullptr};
};

struct PlatformDevice {
  int fd = -1;
  int rxAbortFd = -1;  // a receive purge ends the pending read
  int txAbortFd = -1;  // a transmit purge ends the pending write
  int statusFd = -1;   // the read path tells the status wait about breaks and errors
  termios saved{};
  CommTimeouts timeouts{};
  std::atomic<std::uint32_t> eventMask{0};
  std::atomic<std::uint32_t> pendingEvents{0};
  std::atomic<std::uint32_t> errors{0};
  std::atomic<bool> markErrors{false};  // PARMRK on: 0xFF starts a mark sequence

  // Status wait only.
  enum class Lines { Wait, Sample, None };
  Lines lines = Lines::None;
  int lastModem = 0;
  bool watchCounts = true;
  bool haveCounts = false;
  serial_icounter_struct lastCounts{};
  // The status wait's thread while it is in (or about to enter) TIOCMIWAIT,
  // 0 otherwise; and how many times it has come out of that ioctl.
  std::atomic<pid_t> modemWaitTid{0};
  std::atomic<unsigned> modemWaitExits{0};

  // Read path only: what has been read from the driver and not yet handed
  // over (the head of a mark sequence may wait here for its rest).
  std::uint8_t held[256];
  std::uint32_t heldPos = 0;
  std::uint32_t heldLen = 0;
  bool drained = false;               // the last read emptied the driver's queue
  std::atomic<bool> dropHeld{false};  // an input purge: what is held goes too
  bool readCountsUsable = true;
  bool haveReadCounts = false;
  serial_icounter_struct readCounts{};
};

namespace {

constexpr std::uint32_t kDriverQueue = 4096;  // what the tty layer buffers per direction

void Signal(int fd) {
  const std::uint64_t one = 1;
  ssize_t r;
  do r = ::write(fd, &one, sizeof one);
  while (r < 0 && errno == EINTR);
}

void Drain(int fd) {
  std::uint64_t v;
  ssize_t r;
  do r = ::read(fd, &v, sizeof v);
  while (r < 0 && errno == EINTR);
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Sampling period for devices whose driver refuses TIOCMIWAIT, and while the
// application has taken the wake-up signal.
constexpr int kModemSampleMs = 100;
constexpr unsigned long kModemLines = TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CAR;
// How a status wait in the driver ended, besides 0 (look again) and errors.
constexpr int kWaitWoken = -1;
constexpr int kWaitUnwakeable = -2;

// The signal that interrupts TIOCMIWAIT (the README names it): a real-time
// signal with a handler that does nothing, installed without SA_RESTART so
// that the ioctl returns EINTR instead of being restarted. The signal is the
// application's as much as ours: it may install its own handler later (with
// signal(), which asks for SA_RESTART, the wait would simply go on) or ignore
// it (then it wakes nobody). So it is looked at afresh each time it is
// needed: the status wait blocks in TIOCMIWAIT only while the handler is
// ours (or the signal is unused, and ours is put in), and samples the lines
// otherwise.
int WakeSignal() { return SIGRTMIN + 4; }

void WakeHandler(int) {}

std::mutex wakeSignalMu;  // one change of the signal's handler at a time

// Whether the wake-up signal is ours to use right now; puts our handler in
// when nobody uses the signal.
bool HoldWakeSignal() {
  struct sigaction cur {};
  if (::sigaction(WakeSignal(), nullptr, &cur) != 0) return false;
  const bool plain = (cur.sa_flags & SA_SIGINFO) == 0;
  if (plain && cur.sa_handler == WakeHandler) return true;
  if (!plain || cur.sa_handler != SIG_DFL) return false;  // the application's
  std::lock_guard<std::mutex> lock(wakeSignalMu);
  struct sigaction sa {};
  sa.sa_handler = WakeHandler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  return ::sigaction(WakeSignal(), &sa, nullptr) == 0;
}

// While the port borrows the signal back (see PokeModemWait): the
// application's own handling, and the thread being woken.
struct sigaction lentAction {};
std::atomic<pid_t> borrowTarget{0};

// The borrowed handler: the wake-up of the thread being woken ends its wait
// and nothing else; every other delivery goes on to the application's handler.
void BorrowedWakeHandler(int sig, siginfo_t* info, void* context) {
  if (info && info->si_code == SI_TKILL && info->si_pid == ::getpid() &&
      static_cast<pid_t>(::syscall(SYS_gettid)) == borrowTarget.load())
    return;
  if (lentAction.sa_flags & SA_SIGINFO) {
    if (lentAction.sa_sigaction) lentAction.sa_sigaction(sig, info, context);
  } else if (lentAction.sa_handler != SIG_IGN && lentAction.sa_handler != SIG_DFL) {
    lentAction.sa_handler(sig);
  }
}

bool EventIsSet(EventHandle e) {
  if (!e) return false;
  pollfd p{e->fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

// Sends the wake-up signal to the status wait's thread until it has come out
// of TIOCMIWAIT (or was never in it). A signal that lands just before the
// thread enters the ioctl is lost, hence the repetition; once out, the
// thread sees the reason before it could block again.
void SignalUntilOut(PlatformDevice* d, unsigned exits) {
  auto pause = std::chrono::microseconds(50);
  for (;;) {
    const pid_t tid = d->modemWaitTid.load();
    if (tid == 0 || d->modemWaitExits.load() != exits) return;
    borrowTarget.store(tid);
    ::syscall(SYS_tgkill, ::getpid(), tid, WakeSignal());
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(2)) pause *= 2;
  }
}

// Makes a status wait blocked in TIOCMIWAIT look at the device again. The
// caller has already recorded why (an event set, a pending line event, a new
// mask).
//
// When the application took the signal (or ignored it) after the wait began,
// the signal as it is now would not end the wait. The port then borrows it
// for that moment: its own handler without SA_RESTART goes in, passing every
// delivery but the wake-up on to the application's handler, and the
// application's handling is put back as soon as the thread is out. The
// thread then samples the lines until the signal is the port's again.
void PokeModemWait(PlatformDevice* d) {
  const unsigned exits = d->modemWaitExits.load();
  if (d->modemWaitTid.load() == 0) return;
  if (HoldWakeSignal()) {
    SignalUntilOut(d, exits);
    return;
  }
  std::lock_guard<std::mutex> lock(wakeSignalMu);
  struct sigaction borrowed {};
  borrowed.sa_sigaction = BorrowedWakeHandler;
  sigemptyset(&borrowed.sa_mask);
  borrowed.sa_flags = SA_SIGINFO;
  struct sigaction app {};
  if (::sigaction(WakeSignal(), nullptr, &lentAction) != 0 || ::sigaction(WakeSignal(), &borrowed, &app) != 0) return;
  SignalUntilOut(d, exits);
  // Back to the application, unless it changed the signal meanwhile.
  struct sigaction now {};
  ::sigaction(WakeSignal(), &app, &now);
  if (!(now.sa_flags & SA_SIGINFO) || now.sa_sigaction != BorrowedWakeHandler) ::sigaction(WakeSignal(), &now, nullptr);
  borrowTarget.store(0);
}

speed_t SpeedCode(std::uint32_t baud, bool& ok) {
  ok = true;
  switch (baud) {
    case 110: return B110;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: ok = false; return B0;
  }
}

enum class Got { Bytes, Woken, Aborted, Failed };

void NoteLineEvent(PlatformDevice* d, std::uint32_t ev, std::uint32_t errors);

// Reads the driver's error counters (read path only); false when it keeps
// none. Returns the overrun bits counted since the last reading in `overruns`
// and, through `bad`, the kind of error of marked characters since then.
bool ReadErrorCounts(PlatformDevice* d, std::uint32_t& overruns, std::uint32_t& bad) {
  overruns = bad = 0;
  if (!d->readCountsUsable) return false;
  serial_icounter_struct c{};
  if (::ioctl(d->fd, TIOCGICOUNT, &c) != 0) {
    d->readCountsUsable = false;
    return false;
  }
  if (d->haveReadCounts) {
    const serial_icounter_struct& o = d->readCounts;
    if (c.overrun != o.overrun) overruns |= kCeOverrun;
    if (c.buf_overrun != o.buf_overrun) overruns |= kCeRxOver;
    if (c.parity != o.parity) bad |= kCeRxParity;
    if (c.frame != o.frame) bad |= kCeFrame;
  }
  d->readCounts = c;
  d->haveReadCounts = true;
  return true;
}

// Overruns are only counted by the driver, not marked in the data: they are
// looked for each time the read path has emptied the receive queue, so an
// idle port costs nothing and a burst one reading.
void CheckOverruns(PlatformDevice* d) {
  std::uint32_t overruns = 0, bad = 0;
  if (ReadErrorCounts(d, overruns, bad) && overruns) NoteLineEvent(d, kEvErr, overruns);
}

// Reads what the driver has into the held bytes (after any held already),
// waiting until there is something. err is set on Failed.
Got ReadMore(PlatformDevice* d, EventHandle wake, int& err) {
  if (d->heldPos > 0) {
    std::memmove(d->held, d->held + d->heldPos, d->heldLen - d->heldPos);
    d->heldLen -= d->heldPos;
    d->heldPos = 0;
  }
  for (;;) {
    // Bytes held when the input was purged are gone; the ones about to be
    // read are not (the purge may have come while this waited for them).
    if (d->dropHeld.exchange(false)) d->heldLen = 0;
    if (!d->drained) {
      const std::size_t room = sizeof d->held - d->heldLen;
      const ssize_t n = ::read(d->fd, d->held + d->heldLen, room);
      if (n > 0) {
        d->heldLen += static_cast<std::uint32_t>(n);
        d->drained = static_cast<std::size_t>(n) < room;
        return Got::Bytes;
      }
      if (n == 0) {  // the other end has gone (hang-up)
        err = EIO;
        return Got::Failed;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        err = errno;
        return Got::Failed;
      }
    }
    d->drained = false;
    CheckOverruns(d);
    pollfd p[3] = {{d->fd, POLLIN, 0}, {d->rxAbortFd, POLLIN, 0}, {wake ? wake->fd : -1, POLLIN, 0}};
    const int r = ::poll(p, 3, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return Got::Failed;
    }
    if (p[2].revents & POLLIN) return Got::Woken;
    if (p[1].revents & POLLIN) {
      Drain(d->rxAbortFd);
      return Got::Aborted;
    }
    if (p[0].revents & POLLNVAL) {
      err = EBADF;
      return Got::Failed;
    }
    // POLLIN or POLLHUP/POLLERR: the read above tells which.
  }
}

void NoteLineEvent(PlatformDevice* d, std::uint32_t ev, std::uint32_t errors) {
  if (errors) d->errors.fetch_or(errors);
  d->pendingEvents.fetch_or(ev);
  Signal(d->statusFd);
  PokeModemWait(d);
}

class PosixPlatform final : public SerialPlatform {
 public:
  PlatformResult CreateFile(const std::string& path, DeviceHandle& out) override {
    out = nullptr;
    auto* d = new PlatformDevice;
    d->fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (d->fd < 0) return Abandon(d, errno);
    if (!::isatty(d->fd)) return Abandon(d, ENOTTY);
    // Exclusive use: the advisory lock keeps other programs out (also when
    // they run with privileges that ignore TIOCEXCL).
    if (::flock(d->fd, LOCK_EX | LOCK_NB) != 0) return Abandon(d, errno == EWOULDBLOCK ? EBUSY : errno);
    if (::ioctl(d->fd, TIOCEXCL) != 0) return Abandon(d, errno);
    if (::tcgetattr(d->fd, &d->saved) != 0) {
      const int e = errno;
      ::ioctl(d->fd, TIOCNXCL);
      return Abandon(d, e);
    }
    d->rxAbortFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    d->txAbortFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    d->statusFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (d->rxAbortFd < 0 || d->txAbortFd < 0 || d->statusFd < 0) {
      const int e = errno;
      ::ioctl(d->fd, TIOCNXCL);
      return Abandon(d, e);
    }
    NoteStartingPoint(d);
    out = d;
    return PlatformResult::Ok();
  }

  PlatformResult CloseHandle(DeviceHandle d) override {
    if (!d) return PlatformResult::Fail(EBADF);
    int err = 0;
    // A device whose other end has gone (EIO) has no settings left to restore.
    if (::tcsetattr(d->fd, TCSANOW, &d->saved) != 0 && errno != EIO) err = errno;
    ::ioctl(d->fd, TIOCNXCL);
    if (::close(d->fd) != 0 && !err) err = errno;
    d->fd = -1;
    CloseFd(d->rxAbortFd);
    CloseFd(d->txAbortFd);
    CloseFd(d->statusFd);
    delete d;
    return err ? PlatformResult::Fail(err) : PlatformResult::Ok();
  }

  PlatformResult GetCommTimeouts(DeviceHandle d, CommTimeouts& out) override {
    if (!d) return PlatformResult::Fail(EBADF);
    out = d->timeouts;
    return PlatformResult::Ok();
  }

  PlatformResult SetCommTimeouts(DeviceHandle d, const CommTimeouts& t) override {
    if (!d) return PlatformResult::Fail(EBADF);
    d->timeouts = t;
    return PlatformResult::Ok();
  }

  PlatformResult GetCommProperties(DeviceHandle d, CommProperties& out) override {
    if (!d) return PlatformResult::Fail(EBADF);
    out.CurrentRxQueue = kDriverQueue;
    out.CurrentTxQueue = kDriverQueue;
    return PlatformResult::Ok();
  }

  PlatformResult SetupComm(DeviceHandle d, std::uint32_t rxQueue, std::uint32_t txQueue) override {
    // A request: the tty layer keeps its own fixed buffer sizes.
    if (!d) return PlatformResult::Fail(EBADF);
    if (rxQueue == 0 || txQueue == 0) return PlatformResult::Fail(EINVAL);
    return PlatformResult::Ok();
  }

  PlatformResult GetCommMask(DeviceHandle d, std::uint32_t& mask) override {
    if (!d) return PlatformResult::Fail(EBADF);
    mask = d->eventMask.load();
    return PlatformResult::Ok();
  }

  PlatformResult SetCommMask(DeviceHandle d, std::uint32_t mask) override {
    if (!d) return PlatformResult::Fail(EBADF);
    d->eventMask.store(mask);
    Signal(d->statusFd);  // a pending wait looks at the new mask
    PokeModemWait(d);
    return PlatformResult::Ok();
  }

  PlatformResult SetCommState(DeviceHandle d, const DeviceSettings& s) override {
    if (!d) return PlatformResult::Fail(EBADF);
    bool speedOk = false;
    const speed_t speed = SpeedCode(s.BaudRate, speedOk);
    // One and a half stop bits cannot be set on a Linux tty.
    if (!speedOk || s.ByteSize < 5 || s.ByteSize > 8 || s.Parity > 4 || (s.StopBits != 0 && s.StopBits != 2))
      return PlatformResult::Fail(EINVAL);
    termios t{};
    if (::tcgetattr(d->fd, &t) != 0) return PlatformResult::Fail(errno);
    t.c_iflag = PARMRK | INPCK;  // breaks and bad characters are marked in the byte stream
    if (s.fOutX) t.c_iflag |= IXON;
    if (s.fInX) t.c_iflag |= IXOFF;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CREAD | CLOCAL;
    static const tcflag_t kSize[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSize[s.ByteSize - 5];
    switch (s.Parity) {
      case 1: t.c_cflag |= PARENB | PARODD; break;
      case 2: t.c_cflag |= PARENB; break;
      case 3: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
      case 4: t.c_cflag |= PARENB | CMSPAR; break;
      default: break;
    }
    if (s.StopBits == 2) t.c_cflag |= CSTOPB;
    if (s.fOutxCtsFlow) t.c_cflag |= CRTSCTS;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    t.c_cc[VSTART] = s.XonChar;
    t.c_cc[VSTOP] = s.XoffChar;
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    const int setResult = ::tcsetattr(d->fd, TCSANOW, &t);
    const int setErr = errno;
    // On 8250-type UARTs a tcsetattr while a thread waits in TIOCMIWAIT turns
    // the modem-status interrupt off, and that wait would never end: the
    // status wait is made to start a fresh one.
    PokeModemWait(d);
    if (setResult != 0) return PlatformResult::Fail(setErr);
    // tcsetattr succeeds when any part took effect: check the parts that matter.
    termios back{};
    if (::tcgetattr(d->fd, &back) != 0) return PlatformResult::Fail(errno);
    if (::cfgetospeed(&back) != speed || (back.c_cflag & CSIZE) != (t.c_cflag & CSIZE) ||
        (back.c_cflag & (PARENB | PARODD | CMSPAR | CSTOPB)) != (t.c_cflag & (PARENB | PARODD | CMSPAR | CSTOPB)))
      return PlatformResult::Fail(EINVAL);
    d->markErrors.store((back.c_iflag & PARMRK) != 0);
    // The output lines; a device without modem lines (a pseudo-terminal) has
    // nothing to switch.
    int dtr = TIOCM_DTR, rts = TIOCM_RTS;
    if (::ioctl(d->fd, s.fDtrControl ? TIOCMBIS : TIOCMBIC, &dtr) != 0 && !IsNoModemLinesError(errno))
      return PlatformResult::Fail(errno);
    if (::ioctl(d->fd, s.fRtsControl ? TIOCMBIS : TIOCMBIC, &rts) != 0 && !IsNoModemLinesError(errno))
      return PlatformResult::Fail(errno);
    return PlatformResult::Ok();
  }

  PlatformResult EscapeCommFunction(DeviceHandle d, std::uint32_t func) override {
    if (!d) return PlatformResult::Fail(EBADF);
    int r;
    int bits;
    switch (func) {
      case kSetBreak: r = ::ioctl(d->fd, TIOCSBRK); break;
      case kClrBreak: r = ::ioctl(d->fd, TIOCCBRK); break;
      case kSetRts:
        bits = TIOCM_RTS;
        r = ::ioctl(d->fd, TIOCMBIS, &bits);
        break;
      case kClrRts:
        bits = TIOCM_RTS;
        r = ::ioctl(d->fd, TIOCMBIC, &bits);
        break;
      case kSetDtr:
        bits = TIOCM_DTR;
        r = ::ioctl(d->fd, TIOCMBIS, &bits);
        break;
      case kClrDtr:
        bits = TIOCM_DTR;
        r = ::ioctl(d->fd, TIOCMBIC, &bits);
        break;
      default: return PlatformResult::Fail(EINVAL);
    }
    return r == 0 ? PlatformResult::Ok() : PlatformResult::Fail(errno);
  }

  PlatformResult GetCommModemStatus(DeviceHandle d, std::uint32_t& status) override {
    if (!d) return PlatformResult::Fail(EBADF);
    int bits = 0;
    if (::ioctl(d->fd, TIOCMGET, &bits) != 0) return PlatformResult::Fail(errno);
    status = ModemWord(bits);
    return PlatformResult::Ok();
  }

  PlatformResult WaitCommEvent(DeviceHandle d, EventHandle wake, std::uint32_t& mask) override {
    if (!d) return PlatformResult::Fail(EBADF);
    mask = 0;
    for (;;) {
      std::uint32_t ev = d->pendingEvents.exchange(0) | LineChanges(d);
      ev &= d->eventMask.load();
      if (ev) {
        mask = ev;
        return PlatformResult::Ok();
      }
      bool sample = d->lines == PlatformDevice::Lines::Sample;
      if (d->lines == PlatformDevice::Lines::Wait) {
        const int err = WaitForLineChange(d, wake);
        if (err == kWaitWoken) return PlatformResult::Ok();  // mask 0
        if (err == 0) continue;
        if (err != kWaitUnwakeable) return PlatformResult::Fail(err);
        sample = true;  // the wake-up signal is the application's for now
      }
      // No modem lines, a driver that cannot wait for them, or no signal to
      // end the wait: breaks and line errors come from the read path through
      // statusFd at once; lines are sampled where there are any.
      pollfd p[2] = {{d->statusFd, POLLIN, 0}, {wake ? wake->fd : -1, POLLIN, 0}};
      const int r = ::poll(p, 2, sample ? kModemSampleMs : -1);
      if (r < 0 && errno != EINTR) return PlatformResult::Fail(errno);
      if (r > 0 && (p[1].revents & POLLIN)) return PlatformResult::Ok();  // woken: mask 0
      if (r > 0 && (p[0].revents & POLLIN)) Drain(d->statusFd);
    }
  }

  PlatformResult ReadFile(DeviceHandle d, EventHandle wake, std::uint8_t* buffer, std::uint32_t size,
                          std::uint32_t& count) override {
    if (!d) return PlatformResult::Fail(EBADF);
    count = 0;
    if (!buffer || size == 0) return PlatformResult::Fail(EINVAL);
    for (;;) {
      if (d->dropHeld.exchange(false)) d->heldPos = d->heldLen = 0;  // purged since the last read
      TakeHeld(d, buffer, size, count);
      if (count > 0) return PlatformResult::Ok();
      int err = 0;
      const Got g = ReadMore(d, wake, err);
      if (g == Got::Failed) return PlatformResult::Fail(err);
      if (g != Got::Bytes) return PlatformResult::Ok();  // woken or purged: nothing read
    }
  }

  PlatformResult WriteFile(DeviceHandle d, EventHandle wake, const std::uint8_t* data, std::uint32_t len,
                           std::uint32_t& written) override {
    if (!d) return PlatformResult::Fail(EBADF);
    written = 0;
    Drain(d->txAbortFd);  // an abort asked for before this write is not for it
    while (written < len) {
      // A wake-up set before the write began (an abort) ends it before its
      // first byte, as one set later ends it between two.
      if (EventIsSet(wake)) return PlatformResult::Fail(ECANCELED);
      const ssize_t n = ::write(d->fd, data + written, len - written);
      if (n > 0) {
        written += static_cast<std::uint32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return PlatformResult::Fail(errno);
      pollfd p[3] = {{d->fd, POLLOUT, 0}, {d->txAbortFd, POLLIN, 0}, {wake ? wake->fd : -1, POLLIN, 0}};
      const int r = ::poll(p, 3, -1);
      if (r < 0) {
        if (errno == EINTR) continue;
        return PlatformResult::Fail(errno);
      }
      if (p[2].revents & POLLIN) return PlatformResult::Fail(ECANCELED);
      if (p[1].revents & POLLIN) {
        Drain(d->txAbortFd);
        return PlatformResult::Fail(ECANCELED);
      }
      if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL) && !(p[0].revents & POLLOUT)) return PlatformResult::Fail(EIO);
    }
    return PlatformResult::Ok();
  }

  PlatformResult PurgeComm(DeviceHandle d, std::uint32_t flags) override {
    if (!d) return PlatformResult::Fail(EBADF);
    int err = 0;
    if (flags & kPurgeTxAbort) {
      // Abandon the transmission: what the driver still holds goes too (a
      // hung-up line, EIO, holds nothing).
      if (::tcflush(d->fd, TCOFLUSH) != 0 && errno != EIO) err = errno;
      Signal(d->txAbortFd);
    }
    if (flags & kPurgeRxAbort) Signal(d->rxAbortFd);
    if ((flags & kPurgeTxClear) && ::tcflush(d->fd, TCOFLUSH) != 0) err = errno;
    if (flags & kPurgeRxClear) {
      d->dropHeld.store(true);  // read from the driver but not handed over: gone too
      if (::tcflush(d->fd, TCIFLUSH) != 0) err = errno;
    }
    return err ? PlatformResult::Fail(err) : PlatformResult::Ok();
  }

  PlatformResult ClearCommError(DeviceHandle d, std::uint32_t& errors) override {
    if (!d) return PlatformResult::Fail(EBADF);
    errors = d->errors.exchange(0);
    return PlatformResult::Ok();
  }

  PlatformResult CreateEvent(EventHandle& out) override {
    out = nullptr;
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return PlatformResult::Fail(errno);
    out = new PlatformEvent{fd};
    return PlatformResult::Ok();
  }

  PlatformResult SetEvent(EventHandle e) override {
    if (!e) return PlatformResult::Fail(EBADF);
    Signal(e->fd);
    if (PlatformDevice* d = e->modemWaiter.load()) PokeModemWait(d);
    return PlatformResult::Ok();
  }

  PlatformResult ResetEvent(EventHandle e) override {
    if (!e) return PlatformResult::Fail(EBADF);
    Drain(e->fd);
    return PlatformResult::Ok();
  }

  PlatformResult WaitForSingleObject(EventHandle e) override {
    if (!e) return PlatformResult::Fail(EBADF);
    for (;;) {
      pollfd p{e->fd, POLLIN, 0};
      const int r = ::poll(&p, 1, -1);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return PlatformResult::Fail(errno);
      if (p.revents & POLLIN) return PlatformResult::Ok();
      if (p.revents & POLLNVAL) return PlatformResult::Fail(EBADF);
    }
  }

  PlatformResult CloseEvent(EventHandle e) override {
    if (!e) return PlatformResult::Fail(EBADF);
    const int r = ::close(e->fd);
    const int err = errno;
    delete e;
    return r == 0 ? PlatformResult::Ok() : PlatformResult::Fail(err);
  }

 private:
  static PlatformResult Abandon(PlatformDevice* d, int err) {
    CloseFd(d->fd);
    CloseFd(d->rxAbortFd);
    CloseFd(d->txAbortFd);
    CloseFd(d->statusFd);
    delete d;
    return PlatformResult::Fail(err);
  }

  static std::uint32_t ModemWord(int bits) {
    std::uint32_t w = 0;
    if (bits & TIOCM_CTS) w |= kMsCtsOn;
    if (bits & TIOCM_DSR) w |= kMsDsrOn;
    if (bits & TIOCM_RNG) w |= kMsRingOn;
    if (bits & TIOCM_CAR) w |= kMsRlsdOn;
    return w;
  }

  // At open: whether the device has modem lines, and the levels and the
  // driver's counters from which the status wait and the read path count
  // (a change or an overrun after the open is reported, however soon after
  // it the workers first look).
  static void NoteStartingPoint(PlatformDevice* d) {
    int bits = 0;
    if (::ioctl(d->fd, TIOCMGET, &bits) != 0) {
      d->lines = PlatformDevice::Lines::None;  // a pseudo-terminal; the port says so at open
    } else {
      d->lines = PlatformDevice::Lines::Wait;  // until the driver refuses the wait
      d->lastModem = bits;
    }
    serial_icounter_struct c{};
    if (::ioctl(d->fd, TIOCGICOUNT, &c) != 0) {
      d->watchCounts = d->readCountsUsable = false;
      return;
    }
    d->lastCounts = d->readCounts = c;
    d->haveCounts = d->haveReadCounts = true;
  }

  // Modem-line events since the last look. The driver's transition counters
  // catch a pulse too short to be seen in the levels; the levels are compared
  // too, for drivers that keep no counters and for an 8250 whose counters
  // stand still while no TIOCMIWAIT has switched its modem-status interrupt
  // on (a tcsetattr switches it off), as when the lines are sampled.
  static std::uint32_t LineChanges(PlatformDevice* d) {
    std::uint32_t ev = 0;
    if (d->lines == PlatformDevice::Lines::None) return ev;
    CountChanges(d, ev);
    int bits = 0;
    if (::ioctl(d->fd, TIOCMGET, &bits) != 0) return ev;
    const int changed = bits ^ d->lastModem;
    if (changed & TIOCM_CTS) ev |= kEvCts;
    if (changed & TIOCM_DSR) ev |= kEvDsr;
    if (changed & TIOCM_RNG) ev |= kEvRing;
    if (changed & TIOCM_CAR) ev |= kEvRlsd;
    d->lastModem = bits;
    return ev;
  }

  // Compares the driver's counters with the last reading; false when the
  // driver keeps none.
  static bool CountChanges(PlatformDevice* d, std::uint32_t& ev) {
    if (!d->watchCounts) return false;
    serial_icounter_struct c{};
    if (::ioctl(d->fd, TIOCGICOUNT, &c) != 0) {
      d->watchCounts = false;
      return false;
    }
    if (d->haveCounts) {
      const serial_icounter_struct& o = d->lastCounts;
      if (c.cts != o.cts) ev |= kEvCts;
      if (c.dsr != o.dsr) ev |= kEvDsr;
      if (c.rng != o.rng) ev |= kEvRing;
      if (c.dcd != o.dcd) ev |= kEvRlsd;
    }
    d->lastCounts = c;
    d->haveCounts = true;
    return true;
  }

  // Blocks in TIOCMIWAIT until a modem line changes or a poke comes. Returns
  // 0 to look again, kWaitWoken when woken through `wake`, kWaitUnwakeable
  // when the wake-up signal is not the port's right now (the caller samples
  // instead), or an error that ends the wait (the device has gone). A driver that refuses the wait
  // (CDC-ACM adapters refuse it for DSR) is sampled from then on.
  static int WaitForLineChange(PlatformDevice* d, EventHandle wake) {
    d->modemWaitTid.store(static_cast<pid_t>(::syscall(SYS_gettid)));
    if (wake) wake->modemWaiter.store(d);
    // Announced first, then checked: whoever records a reason after this
    // check finds the thread announced and pokes it. The signal is looked at
    // after the announcement too: an application that takes it from now on
    // is met by the poke.
    int result = 0;
    if (EventIsSet(wake)) {
      result = kWaitWoken;
    } else if (!HoldWakeSignal()) {
      result = kWaitUnwakeable;
    } else if ((d->pendingEvents.load() & d->eventMask.load()) == 0) {
      Drain(d->statusFd);
      // The signal reaches this thread only while it waits here.
      sigset_t wakeOnly, old;
      sigemptyset(&wakeOnly);
      sigaddset(&wakeOnly, WakeSignal());
      pthread_sigmask(SIG_UNBLOCK, &wakeOnly, &old);
      const int r = ::ioctl(d->fd, TIOCMIWAIT, kModemLines);
      const int err = errno;
      pthread_sigmask(SIG_SETMASK, &old, nullptr);
      if (r != 0 && err != EINTR) {
        if (err == EIO || err == ENXIO || err == ENODEV)
          result = err;
        else
          d->lines = PlatformDevice::Lines::Sample;
      }
    }
    if (wake) wake->modemWaiter.store(nullptr);
    d->modemWaitTid.store(0);
    d->modemWaitExits.fetch_add(1);
    if (result == 0 && EventIsSet(wake)) result = kWaitWoken;
    return result;
  }

  // Moves the held bytes to the caller's buffer, up to `size`, taking the
  // mark sequences apart: 0xFF 0xFF is a data byte 0xFF; 0xFF 0x00 0x00 a
  // break; 0xFF 0x00 c a character c received with a framing or parity error.
  // Stops before a sequence whose rest has not arrived, and before a break or
  // an error when bytes are already taken, so that the status worker hears
  // of it only after the bytes that came first have been handed over.
  static void TakeHeld(PlatformDevice* d, std::uint8_t* buffer, std::uint32_t size, std::uint32_t& count) {
    const bool marked = d->markErrors.load();
    while (d->heldPos < d->heldLen && count < size) {
      const std::uint8_t* at = d->held + d->heldPos;
      const std::uint32_t left = d->heldLen - d->heldPos;
      if (at[0] != 0xFF || !marked) {
        buffer[count++] = at[0];
        ++d->heldPos;
        continue;
      }
      if (left < 2) return;
      if (at[1] != 0x00) {  // 0xFF 0xFF, or no mark at all: 0xFF is data
        buffer[count++] = 0xFF;
        d->heldPos += at[1] == 0xFF ? 2 : 1;
        continue;
      }
      if (count > 0 || left < 3) return;
      const std::uint8_t c = at[2];
      d->heldPos += 3;
      if (c == 0x00) {  // a NUL with a framing error reads the same: taken as a break
        NoteLineEvent(d, kEvBreak, 0);
        continue;
      }
      NoteLineEvent(d, kEvErr, CharErrorBits(d));
      buffer[count++] = c;
    }
  }

  // Which error a marked character had, from the driver's counters where it
  // keeps them (with any overrun counted meanwhile); a framing error otherwise.
  static std::uint32_t CharErrorBits(PlatformDevice* d) {
    std::uint32_t overruns = 0, bad = 0;
    if (!ReadErrorCounts(d, overruns, bad)) return kCeFrame;
    return overruns | (bad ? bad : kCeFrame);
  }
};

}  // namespace

std::shared_ptr<SerialPlatform> PosixSerialPlatform() {
  static std::shared_ptr<SerialPlatform> platform = std::make_shared<PosixPlatform>();
  return platform;
}

}  // namespace mv
