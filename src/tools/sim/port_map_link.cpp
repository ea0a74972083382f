#include "tools/sim/port_map_link.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "serial/port_map.h"

namespace mvsim {

namespace {

bool MakeFolders(const std::string& path) {
  std::string partial;
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string LinkTarget(const std::string& link) {
  char target[4096];
  const ssize_t len = readlink(link.c_str(), target, sizeof target - 1);
  return len > 0 ? std::string(target, static_cast<std::size_t>(len)) : std::string();
}

}  // namespace

bool PortMapLink::Lock(std::string& error) {
  for (int attempt = 0;; ++attempt) {
    int fd = open(lock_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    lockWasThere_ = fd < 0 && errno == EEXIST;
    if (lockWasThere_) fd = open(lock_.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
      error = "cannot open " + lock_ + ": " + std::strerror(errno);
      return false;
    }
    // The port map takes a shared lock for an instant to see whether the
    // owner still runs: a few tries tell that from an owner that runs.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      if (errno != EWOULDBLOCK || attempt == 50) {
        error = errno == EWOULDBLOCK ? lock_ + " is held by a running simulator; " + link_ + " not replaced"
                                     : "cannot lock " + lock_ + ": " + std::strerror(errno);
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    // The lock file of an owner that was just ending may be gone from the
    // folder already: only the one under the name counts.
    struct stat held {
    }, named{};
    if (fstat(fd, &held) == 0 && stat(lock_.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      lockFd_ = fd;
      return true;
    }
    close(fd);
  }
}

bool PortMapLink::Create(int com, const std::string& terminal, std::string& error) {
  const std::string folder = mv::PortMapFolder();
  if (!MakeFolders(folder)) {
    error = "cannot make the port map folder " + folder + ": " + std::strerror(errno);
    return false;
  }
  link_ = folder + "/COM" + std::to_string(com);
  lock_ = link_ + ".lock";
  if (!Lock(error)) {
    link_.clear();
    return false;
  }
  auto refuse = [&](const std::string& why) {
    error = why;
    if (!lockWasThere_) unlink(lock_.c_str());
    close(lockFd_);
    lockFd_ = -1;
    link_.clear();
    return false;
  };
  struct stat st {};
  if (lstat(link_.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) return refuse(link_ + " exists and is not a link; not replaced");
    // A simulator's link whose simulator has gone is replaced, wherever it
    // leads now; a link made by hand only when it leads nowhere.
    struct stat target {};
    if (!lockWasThere_ && stat(link_.c_str(), &target) == 0)
      return refuse(link_ + " already leads to a device; not replaced");
    unlink(link_.c_str());
  }
  const std::string owner = std::to_string(getpid()) + " " + terminal + "\n";
  if (ftruncate(lockFd_, 0) != 0 ||
      pwrite(lockFd_, owner.data(), owner.size(), 0) != static_cast<ssize_t>(owner.size()))
    return refuse("cannot write " + lock_ + ": " + std::strerror(errno));
  if (symlink(terminal.c_str(), link_.c_str()) != 0)
    return refuse("cannot link " + link_ + ": " + std::strerror(errno));
  terminal_ = terminal;
  return true;
}

void PortMapLink::Remove() {
  if (lockFd_ < 0) return;
  if (LinkTarget(link_) == terminal_) unlink(link_.c_str());
  // Still holding the lock: no other simulator has taken the port meanwhile.
  unlink(lock_.c_str());
  close(lockFd_);
  lockFd_ = -1;
}

}  // namespace mvsim
