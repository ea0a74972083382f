// Appends report lines to the program's log file from a writer thread, so a
// burst of reports never blocks the GUI thread on the disk.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

namespace mv {

// $XDG_STATE_HOME/morvane-host/morvane-host.log, or
// ~/.local/state/morvane-host/morvane-host.log when XDG_STATE_HOME is unset
// or not absolute. "" when neither gives a folder.
std::string DefaultReportLogPath();

class ReportLogFile {
 public:
  // Pending text kept in memory while the disk is slow; beyond it whole lines
  // are dropped and counted, and a note says how many.
  static constexpr std::size_t kMaxPending = 4u << 20;
  // A log file above this size is moved to "<name>.1" when the program starts.
  static constexpr long long kRotateSize = 8ll << 20;

  // Opens (creating folders) and starts the writer. When the file cannot be
  // opened the object stays usable: Append does nothing and Error() says why.
  // A write that fails later (disk full, device gone) is kept and tried
  // again with the next line, and Error() says why until a write succeeds.
  explicit ReportLogFile(const std::string& path);
  ~ReportLogFile();  // writes what is pending, then stops the writer
  ReportLogFile(const ReportLogFile&) = delete;
  ReportLogFile& operator=(const ReportLogFile&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }
  // Why the file is not being written ("" while it is).
  std::string Error() const;

  // Queues one line (a newline is added). Cheap and non-blocking in practice:
  // the lock is held only to append to the pending buffer.
  void Append(const std::string& line);
  // Waits until everything queued so far is on disk (for tests and exit).
  void Flush();

 private:
  void Run();

  std::string path_;
  std::string error_;       // why the file could not be opened
  std::string writeError_;  // why the last write failed ("" after a good one)
  int fd_ = -1;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::condition_variable done_;
  std::string pending_;
  std::size_t dropped_ = 0;
  unsigned long long queued_ = 0;   // appends accepted (including drop notes)
  unsigned long long written_ = 0;  // appends the writer has finished with
  bool stop_ = false;
  std::thread writer_;
};

}  // namespace mv
