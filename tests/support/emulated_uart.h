// A serial device with modem lines, for the code a pseudo-terminal never
// reaches: a raw pseudo-terminal carries the data, and the test program's
// ioctl() and tcsetattr() are wrapped at link time (-Wl,--wrap=ioctl
// -Wl,--wrap=tcsetattr, see tests/CMakeLists.txt) so that, on this device
// only, the modem-line requests behave as the kernel's serial drivers do:
//
//  - TIOCMGET / TIOCMBIS / TIOCMBIC / TIOCMSET: the input lines set by the
//    test (CTS, DSR, RI, CD) and the output lines (DTR, RTS) set by the port.
//  - TIOCGICOUNT: the driver's transition and error counters.
//  - TIOCMIWAIT: blocks until a counter of a line in its mask moves, in an
//    interruptible sleep: a signal whose handler was installed without
//    SA_RESTART ends it with EINTR, one with SA_RESTART restarts it, an
//    ignored signal does nothing, as for the real request.
//  - 8250/16550: a tcsetattr() with CLOCAL and without CRTSCTS switches the
//    modem-status interrupt off; line changes are then latched, not counted,
//    and a pending TIOCMIWAIT sleeps on until a new TIOCMIWAIT switches the
//    interrupt on again (and counts what was latched).
//  - CDC-ACM: TIOCMIWAIT refuses a mask with DSR (EINVAL); the counters
//    always count.
//
// Every other request, and every other descriptor, goes to the real call.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "support/raw_pty.h"

namespace mvtest {

class EmulatedUart {
 public:
  enum class Driver { k8250, kCdcAcm };

  explicit EmulatedUart(Driver driver = Driver::k8250);
  ~EmulatedUart();  // the port must be closed first
  EmulatedUart(const EmulatedUart&) = delete;
  EmulatedUart& operator=(const EmulatedUart&) = delete;

  bool Ok() const { return pty_.Ok(); }
  // The device's path (the terminal end); Master() is the far end of the line.
  const std::string& Path() const { return pty_.Path(); }
  int Master() const { return pty_.Master(); }

  // Input lines (TIOCM_CTS, TIOCM_DSR, TIOCM_RNG, TIOCM_CAR) to these levels.
  void SetLines(int bits);
  // A change of one line and back, too short to be seen in the levels.
  void Pulse(int bit);
  // The receiver's FIFO lost a character.
  void Overrun();
  // The adapter is pulled out: a pending TIOCMIWAIT, and every later one,
  // fails with EIO (lets a test end a wait nothing else would end).
  void Unplug();

  // Output lines (TIOCM_DTR, TIOCM_RTS) as the driver was told to set them.
  int Outputs() const;
  // Whether the modem-status interrupt is on (an 8250 after a tcsetattr: off).
  bool Armed() const;
  // The thread in TIOCMIWAIT right now, 0 when none; how many waits began.
  pid_t Waiter() const;
  int Waits() const;

  struct State;

 private:
  RawPty pty_;
  std::shared_ptr<State> state_;
};

}  // namespace mvtest
