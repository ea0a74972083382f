// The simulator's entry in the port map: the link COMn -> its terminal, and
// beside it the lock file COMn.lock, which the simulator holds locked (flock)
// for as long as it runs and which names its pid and its terminal
// ("<pid> <terminal>\n").
//
// A simulator killed without a chance to clean up leaves both behind. Its
// lock is then held by nobody, so the port map does not follow the link (the
// terminal's number may be another program's by now) and the next simulator
// for COMn replaces the link. A simulator that runs keeps its port: a second
// one for the same COMn is refused. A link without a lock file beside it was
// made by hand (or by an older simulator) and is replaced only when it leads
// nowhere.
#pragma once

#include <string>

namespace mvsim {

class PortMapLink {
 public:
  PortMapLink() = default;
  ~PortMapLink() { Remove(); }
  PortMapLink(const PortMapLink&) = delete;
  PortMapLink& operator=(const PortMapLink&) = delete;

  // Links `terminal` into the port map folder as COM<com>. False with why in
  // `error`; nothing is left behind then.
  bool Create(int com, const std::string& terminal, std::string& error);
  // Removes the link (if it still leads to the terminal) and the lock file.
  void Remove();

  const std::string& Path() const { return link_; }

 private:
  bool Lock(std::string& error);

  std::string link_;
  std::string lock_;
  std::string terminal_;
  int lockFd_ = -1;
  bool lockWasThere_ = false;  // left by an earlier simulator
};

}  // namespace mvsim
