// The one error shape of the Python module's C++ side: what went wrong, the
// text the system shows for it, and the details a script may act on. The
// binding turns each kind into an exception class of its own.
#pragma once

#include <stdexcept>
#include <string>

#include "link/engine.h"

namespace mv::python {

enum class ErrorKind {
  Other,             // anything without a class of its own
  PortNotOpened,     // the port cannot be opened (busy, no permission, missing)
  RequestRefused,    // the engine refused the request (port closed, another one running)
  RequestAbandoned,  // timeout, unknown response code, receive error or break, at a step
  InvalidChecksum,   // a profile whose checksum does not match its data
  NotChanged,        // the drive answered a save with "not changed"
  FileRefused,       // a reader refused a file, or a file could not be written
};

class ScriptError : public std::runtime_error {
 public:
  ScriptError(ErrorKind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}

  ErrorKind Kind() const { return kind_; }

  // Details; which ones are set depends on the kind.
  std::string request;                            // "info", "status", ... (requests)
  RequestOutcome outcome = RequestOutcome::None;  // RequestAbandoned
  unsigned step = 0;                              // RequestAbandoned: 1-based step of the request
  int slot = 0;                                   // InvalidChecksum, NotChanged: 1..6
  std::string windowText;                         // InvalidChecksum, NotChanged: the message box text
  std::string path;                               // FileRefused, PortNotOpened: the file or device
  int line = 0;                                   // FileRefused: 1-based line, 0 = the file as a whole
  std::string message;                            // FileRefused: the reader's or writer's own message
  std::string lineText;                           // FileRefused: the text of that line, when the reader keeps it
  int err = 0;                                    // PortNotOpened: the system's error number (0 = none)

 private:
  ErrorKind kind_;
};

}  // namespace mv::python
