#include "app/text_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace mv {

namespace {

std::string Reason(int e) { return std::strerror(e); }

std::string ReadError(const char* what, const std::string& path, const std::string& reason) {
  return std::string("unable to read ") + what + " " + path + ": " + reason;
}

std::string WriteError(const char* what, const std::string& path, const std::string& reason) {
  return std::string("unable to write ") + what + " " + path + ": " + reason;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the outcome (a delayed write error shows up here).
  int close() {
    const int r = ::close(fd_);
    fd_ = -1;
    return r;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (w == 0) {
      errno = EIO;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The process's file-creation mask, read without changing it.
mode_t CurrentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
  }
  return 022;
}

void SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);  // best effort: makes the rename itself durable
    ::close(fd);
  }
}

// Writes the bytes to a fresh temporary file next to `target`, flushed to
// disk. Returns the temporary name, or an empty string with errno set.
std::string WriteTemp(const std::string& target, const void* data, std::size_t size, mode_t mode) {
  std::string tmpl = FolderOf(target) + "/." + BaseOf(target) + ".tmp-XXXXXX";
  Fd fd(::mkostemp(tmpl.data(), O_CLOEXEC));
  if (fd.get() < 0) return {};
  int e = 0;
  if (::fchmod(fd.get(), mode) != 0 || !WriteAll(fd.get(), static_cast<const std::uint8_t*>(data), size) ||
      ::fsync(fd.get()) != 0 || fd.close() != 0) {
    e = errno;
    ::unlink(tmpl.c_str());
    errno = e;
    return {};
  }
  return tmpl;
}

// Where the data really goes: a symbolic link is followed so that the link
// stays and its target is replaced.
std::string ResolveTarget(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf) != nullptr) return buf;
  }
  return path;
}

}  // namespace

void SplitLines(const std::string& text, std::vector<std::string>& lines) {
  std::size_t start = 0;
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.emplace_back(text, start, i - start);
      i += (c == '\r' && i + 1 < n && text[i + 1] == '\n') ? 2 : 1;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < n) lines.emplace_back(text, start, n - start);
}

bool readFileBytes(const std::string& path, std::string& bytes, std::string& err, const char* what,
                   std::size_t maxSize) {
  if (path.empty()) {
    err = ReadError(what, "\"\"", Reason(ENOENT));
    return false;
  }
  // Non-blocking open: a FIFO without a writer must not hang the caller.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) {
    err = ReadError(what, path, Reason(errno));
    return false;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    err = ReadError(what, path, Reason(errno));
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    err = ReadError(what, path, Reason(EISDIR));
    return false;
  }
  // Devices and FIFOs may never end (or block); only plain files are read.
  if (!S_ISREG(st.st_mode)) {
    err = ReadError(what, path, "not a regular file");
    return false;
  }
  std::string data;
  if (S_ISREG(st.st_mode)) {
    if (static_cast<std::uint64_t>(st.st_size) > maxSize) {
      err = ReadError(what, path, "file too large");
      return false;
    }
    data.reserve(static_cast<std::size_t>(st.st_size));
  }
  char buf[65536];
  for (;;) {
    const ssize_t r = ::read(fd.get(), buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      err = ReadError(what, path, Reason(errno));
      return false;
    }
    if (r == 0) break;
    if (data.size() + static_cast<std::size_t>(r) > maxSize) {
      err = ReadError(what, path, "file too large");
      return false;
    }
    data.append(buf, static_cast<std::size_t>(r));
  }
  bytes.swap(data);
  return true;
}

bool readTextLines(const std::string& path, std::vector<std::string>& lines, std::string& err, const char* what) {
  std::string data;
  if (!readFileBytes(path, data, err, what)) return false;
  std::vector<std::string> result;
  SplitLines(data, result);
  lines.swap(result);
  return true;
}

bool writeTextLinesAtomic(const std::string& path, const std::vector<std::string>& lines, std::string& err,
                          const char* what) {
  std::string data;
  std::size_t total = 0;
  for (const auto& l : lines) total += l.size() + 2;
  data.reserve(total);
  for (const auto& l : lines) {
    data += l;
    data += "\r\n";
  }
  return writeFileAtomic(path, data.data(), data.size(), err, what);
}

bool writeFileAtomic(const std::string& path, const void* data, std::size_t size, std::string& err,
                     const char* what) {
  if (path.empty() || path.back() == '/') {
    err = WriteError(what, path.empty() ? "\"\"" : path, Reason(path.empty() ? ENOENT : EISDIR));
    return false;
  }
  const std::string target = ResolveTarget(path);
  struct stat st {};
  mode_t mode;
  if (::stat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      err = WriteError(what, path, Reason(EISDIR));
      return false;
    }
    if (!S_ISREG(st.st_mode)) {
      // A device or pipe cannot be replaced by renaming; refuse rather than swap it for a plain file.
      err = WriteError(what, path, "not a regular file");
      return false;
    }
    mode = st.st_mode & 07777;  // keep the existing file's permissions
  } else {
    mode = 0666 & ~CurrentUmask();
  }
  const std::string tmp = WriteTemp(target, data, size, mode);
  if (tmp.empty()) {
    err = WriteError(what, path, Reason(errno));
    return false;
  }
  if (::rename(tmp.c_str(), target.c_str()) != 0) {
    const int e = errno;
    ::unlink(tmp.c_str());
    err = WriteError(what, path, Reason(e));
    return false;
  }
  SyncFolder(FolderOf(target));
  return true;
}

bool writeFileAtomic(const std::string& path, const std::string& bytes, std::string& err, const char* what) {
  return writeFileAtomic(path, bytes.data(), bytes.size(), err, what);
}

bool writeFileAtomic(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string& err,
                     const char* what) {
  return writeFileAtomic(path, bytes.data(), bytes.size(), err, what);
}

bool writeNewFileExclusive(const std::string& path, const void* data, std::size_t size, std::string& err,
                           bool& existed, const char* what) {
  existed = false;
  if (path.empty() || path.back() == '/') {
    err = WriteError(what, path.empty() ? "\"\"" : path, Reason(path.empty() ? ENOENT : EISDIR));
    return false;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    existed = true;
    err = WriteError(what, path, Reason(EEXIST));
    return false;
  }
  const std::string tmp = WriteTemp(path, data, size, 0666 & ~CurrentUmask());
  if (tmp.empty()) {
    err = WriteError(what, path, Reason(errno));
    return false;
  }
  int rc = ::link(tmp.c_str(), path.c_str());
  int e = rc == 0 ? 0 : errno;
  if (rc != 0 && (e == EPERM || e == EOPNOTSUPP || e == ENOSYS)) {
    // File systems without hard links: an exclusive rename does the same.
    rc = ::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
    e = rc == 0 ? 0 : errno;
  }
  ::unlink(tmp.c_str());  // after a successful rename the name is already gone
  if (rc != 0) {
    existed = e == EEXIST;
    err = WriteError(what, path, Reason(e));
    return false;
  }
  SyncFolder(FolderOf(path));
  return true;
}

bool writeNewFileExclusive(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string& err,
                           bool& existed, const char* what) {
  return writeNewFileExclusive(path, bytes.data(), bytes.size(), err, existed, what);
}

}  // namespace mv
