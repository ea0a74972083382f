#include "support/emulated_uart.h"

#include <linux/serial.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <vector>

extern "C" int __real_ioctl(int fd, unsigned long request, ...);
extern "C" int __real_tcsetattr(int fd, int action, const termios* t);

namespace mvtest {

struct EmulatedUart::State {
  Driver driver;
  dev_t rdev = 0;
  int sleeper = -1;  // eventfd, blocking: a TIOCMIWAIT sleeps in read() on it
  mutable std::mutex mu;
  int lines = 0;                    // input levels
  int outputs = 0;                  // DTR, RTS
  int latched = 0;                  // changes seen while the interrupt was off
  bool armed = false;               // modem-status interrupt on
  serial_icounter_struct counts{};  // what TIOCGICOUNT tells
  pid_t waiter = 0;
  int waits = 0;
  bool unplugged = false;

  void Count(int changed) {  // lock held
    if (changed & TIOCM_CTS) ++counts.cts;
    if (changed & TIOCM_DSR) ++counts.dsr;
    if (changed & TIOCM_RNG) ++counts.rng;
    if (changed & TIOCM_CAR) ++counts.dcd;
  }
  void Changed(int changed, int times) {  // lock held
    if (!armed) {
      latched |= changed;
      return;
    }
    for (int i = 0; i < times; ++i) Count(changed);
    const std::uint64_t one = 1;
    (void)!::write(sleeper, &one, sizeof one);
  }
  int WaitForChange(unsigned long mask);
  int Ioctl(int fd, unsigned long request, void* arg);
};

namespace {

std::mutex registryMu;
std::vector<std::shared_ptr<EmulatedUart::State>>& Registry() {
  static std::vector<std::shared_ptr<EmulatedUart::State>> devices;
  return devices;
}

std::shared_ptr<EmulatedUart::State> Find(int fd) {
  {
    std::lock_guard<std::mutex> lock(registryMu);
    if (Registry().empty()) return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return nullptr;
  std::lock_guard<std::mutex> lock(registryMu);
  for (const auto& d : Registry())
    if (d->rdev == st.st_rdev) return d;
  return nullptr;
}

bool Moved(const serial_icounter_struct& a, const serial_icounter_struct& b, unsigned long mask) {
  return ((mask & TIOCM_CTS) && a.cts != b.cts) || ((mask & TIOCM_DSR) && a.dsr != b.dsr) ||
         ((mask & TIOCM_RNG) && a.rng != b.rng) || ((mask & TIOCM_CAR) && a.dcd != b.dcd);
}

}  // namespace

int EmulatedUart::State::WaitForChange(unsigned long mask) {
  if (driver == Driver::kCdcAcm && (mask & TIOCM_DSR)) {
    errno = EINVAL;
    return -1;
  }
  std::unique_lock<std::mutex> lock(mu);
  if (unplugged) {
    errno = EIO;
    return -1;
  }
  // As the serial core does: the counters are noted first, then the
  // interrupt is switched on (and a change latched meanwhile counts).
  const serial_icounter_struct start = counts;
  armed = true;
  if (latched) {
    Count(latched);
    latched = 0;
  }
  waiter = static_cast<pid_t>(::syscall(SYS_gettid));
  ++waits;
  int result = 0;
  while (!Moved(counts, start, mask)) {
    if (unplugged) {
      result = -1;
      errno = EIO;
      break;
    }
    lock.unlock();
    std::uint64_t v = 0;
    // Interruptible, and restarted after a handler with SA_RESTART, as the
    // real request is; an ignored signal does not end it.
    const ssize_t n = ::read(sleeper, &v, sizeof v);
    const int err = errno;
    lock.lock();
    if (n < 0 && err == EINTR) {
      result = -1;
      errno = EINTR;
      break;
    }
  }
  waiter = 0;
  return result;
}

int EmulatedUart::State::Ioctl(int fd, unsigned long request, void* arg) {
  switch (request) {
    case TIOCMGET: {
      std::lock_guard<std::mutex> lock(mu);
      *static_cast<int*>(arg) = lines | outputs;
      return 0;
    }
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCMSET: {
      const int bits = *static_cast<const int*>(arg) & (TIOCM_DTR | TIOCM_RTS);
      std::lock_guard<std::mutex> lock(mu);
      if (request == TIOCMBIS)
        outputs |= bits;
      else if (request == TIOCMBIC)
        outputs &= ~bits;
      else
        outputs = bits;
      return 0;
    }
    case TIOCGICOUNT: {
      std::lock_guard<std::mutex> lock(mu);
      *static_cast<serial_icounter_struct*>(arg) = counts;
      return 0;
    }
    case TIOCMIWAIT: return WaitForChange(reinterpret_cast<unsigned long>(arg));
    default: return __real_ioctl(fd, request, arg);
  }
}

EmulatedUart::EmulatedUart(Driver driver) : state_(std::make_shared<State>()) {
  state_->driver = driver;
  state_->armed = driver == Driver::kCdcAcm;  // its counters count whether anyone waits or not
  state_->sleeper = ::eventfd(0, EFD_CLOEXEC);
  struct stat st {};
  if (!pty_.Ok() || state_->sleeper < 0 || ::fstat(pty_.Slave(), &st) != 0) return;
  state_->rdev = st.st_rdev;
  std::lock_guard<std::mutex> lock(registryMu);
  Registry().push_back(state_);
}

EmulatedUart::~EmulatedUart() {
  {
    std::lock_guard<std::mutex> lock(registryMu);
    auto& r = Registry();
    r.erase(std::remove(r.begin(), r.end(), state_), r.end());
  }
  if (state_->sleeper >= 0) ::close(state_->sleeper);
}

void EmulatedUart::SetLines(int bits) {
  std::lock_guard<std::mutex> lock(state_->mu);
  const int changed = (state_->lines ^ bits) & (TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CAR);
  state_->lines ^= changed;
  if (changed) state_->Changed(changed, 1);
}

void EmulatedUart::Pulse(int bit) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->Changed(bit, 2);
}

void EmulatedUart::Unplug() {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->unplugged = true;
  const std::uint64_t one = 1;
  (void)!::write(state_->sleeper, &one, sizeof one);
}

void EmulatedUart::Overrun() {
  std::lock_guard<std::mutex> lock(state_->mu);
  ++state_->counts.overrun;
}

int EmulatedUart::Outputs() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->outputs;
}

bool EmulatedUart::Armed() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->armed;
}

pid_t EmulatedUart::Waiter() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->waiter;
}

int EmulatedUart::Waits() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->waits;
}

}  // namespace mvtest

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (const auto device = mvtest::Find(fd)) return device->Ioctl(fd, request, arg);
  return __real_ioctl(fd, request, arg);
}

extern "C" int __wrap_tcsetattr(int fd, int action, const termios* t) {
  const int r = __real_tcsetattr(fd, action, t);
  if (r != 0 || t == nullptr) return r;
  if (const auto device = mvtest::Find(fd)) {
    // 8250: the modem-status interrupt stays on only for hardware flow
    // control or a line that watches carrier (no CLOCAL).
    if (device->driver == mvtest::EmulatedUart::Driver::k8250 && (t->c_cflag & CLOCAL) && !(t->c_cflag & CRTSCTS)) {
      std::lock_guard<std::mutex> lock(device->mu);
      device->armed = false;
    }
  }
  return r;
}
