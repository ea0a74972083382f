#include "app/ui/report_log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace mv {

namespace {

bool MakeFolders(const std::string& dir) {
  if (dir.empty()) return true;
  std::string part;
  for (std::size_t i = 0; i <= dir.size(); ++i) {
    if (i == dir.size() || (dir[i] == '/' && i > 0)) {
      part = dir.substr(0, i);
      if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
  }
  struct stat st {};
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string DefaultReportLogPath() {
  const char* state = std::getenv("XDG_STATE_HOME");
  std::string base;
  if (state && state[0] == '/') {
    base = state;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/') return {};
    base = std::string(home) + "/.local/state";
  }
  return base + "/morvane-host/morvane-host.log";
}

ReportLogFile::ReportLogFile(const std::string& path) : path_(path) {
  if (path_.empty()) {
    error_ = "no folder for the log file (HOME is not set)";
    return;
  }
  const auto slash = path_.find_last_of('/');
  if (slash != std::string::npos && !MakeFolders(path_.substr(0, slash))) {
    error_ = "cannot create the folder of " + path_ + ": " + std::strerror(errno);
    return;
  }
  struct stat st {};
  if (stat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > kRotateSize)
    std::rename(path_.c_str(), (path_ + ".1").c_str());
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    error_ = "cannot open " + path_ + ": " + std::strerror(errno);
    return;
  }
  writer_ = std::thread([this] { Run(); });
}

ReportLogFile::~ReportLogFile() {
  if (fd_ < 0) return;
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
  }
  cv_.notify_one();
  writer_.join();
  ::close(fd_);
}

void ReportLogFile::Append(const std::string& line) {
  if (fd_ < 0) return;
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (pending_.size() + line.size() + 1 > kMaxPending) {
      ++dropped_;
      return;
    }
    if (dropped_ != 0) {
      pending_ += "(" + std::to_string(dropped_) + " report lines dropped: the log file could not keep up)\n";
      dropped_ = 0;
    }
    pending_ += line;
    pending_ += '\n';
    ++queued_;
  }
  cv_.notify_one();
}

void ReportLogFile::Flush() {
  if (fd_ < 0) return;
  std::unique_lock<std::mutex> lk(mu_);
  const unsigned long long target = queued_;
  done_.wait(lk, [&] { return written_ >= target || stop_; });
}

std::string ReportLogFile::Error() const {
  if (fd_ < 0) return error_;
  std::lock_guard<std::mutex> lk(mu_);
  return writeError_;
}

void ReportLogFile::Run() {
  std::string batch;
  std::unique_lock<std::mutex> lk(mu_);
  // After a failed write the unwritten text waits for the next line before
  // the writer tries again, so a full disk is not hammered in a loop.
  bool failed = false;
  unsigned long long triedUpTo = 0;
  for (;;) {
    cv_.wait(lk, [&] { return stop_ || (!pending_.empty() && (!failed || queued_ > triedUpTo)); });
    if (pending_.empty() && stop_) break;
    if (stop_ && failed && queued_ <= triedUpTo) break;  // nothing new to try with: the lines stay in the window
    batch.swap(pending_);
    const unsigned long long upTo = queued_;
    lk.unlock();
    const char* p = batch.data();
    std::size_t left = batch.size();
    int error = 0;
    while (left > 0) {
      const ssize_t n = ::write(fd_, p, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        error = errno;
        break;
      }
      p += n;
      left -= static_cast<std::size_t>(n);
    }
    lk.lock();
    if (error != 0) {
      failed = true;
      triedUpTo = upTo;
      writeError_ = "cannot write " + path_ + ": " + std::strerror(error);
      // What was not written goes back ahead of what came meanwhile, as far
      // as the pending limit allows; beyond it its lines are counted as dropped.
      if (left + pending_.size() <= kMaxPending) {
        pending_.insert(0, p, left);
      } else {
        for (std::size_t i = 0; i < left; ++i) dropped_ += p[i] == '\n' ? 1 : 0;
      }
    } else {
      failed = false;
      writeError_.clear();
    }
    batch.clear();
    written_ = upTo;
    done_.notify_all();
  }
  written_ = queued_;
  done_.notify_all();
}

}  // namespace mv
