#include "core/text_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/types.h>
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
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
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

// Why an existing path cannot be read or replaced as a file; "" when it can.
std::string NotAPlainFile(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return Reason(EISDIR);
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  return {};
}

// The temporary file's name in the target's folder: short and fixed in
// length, so that it is legal wherever the target's own name is (a name of
// up to 255 bytes leaves no room for a suffix).
std::string TempTemplate(const std::string& folder) { return folder + "/.mv-save-XXXXXX"; }

// What a replaced file keeps: its owner and group (where the system allows
// it: only root may give a file away; a member of the file's group keeps the
// group) and then its mode (a change of owner clears set-id bits).
struct KeptAttributes {
  bool existing = false;
  mode_t mode = 0;
  uid_t uid = 0;
  gid_t gid = 0;
};

void ApplyAttributes(int fd, const KeptAttributes& keep) {
  if (keep.existing && ::fchown(fd, keep.uid, keep.gid) != 0) (void)::fchown(fd, static_cast<uid_t>(-1), keep.gid);
}

// Writes the bytes to a fresh temporary file in `folder`, flushed to disk.
// Returns the temporary name, or an empty string with errno set.
std::string WriteTemp(const std::string& folder, const void* data, std::size_t size, const KeptAttributes& keep) {
  std::string tmpl = TempTemplate(folder);
  Fd fd(::mkostemp(tmpl.data(), O_CLOEXEC));
  if (fd.get() < 0) return {};
  ApplyAttributes(fd.get(), keep);
  int e = 0;
  if (::fchmod(fd.get(), keep.mode) != 0 || !WriteAll(fd.get(), static_cast<const std::uint8_t*>(data), size) ||
      ::fsync(fd.get()) != 0 || fd.close() != 0) {
    e = errno;
    ::unlink(tmpl.c_str());
    errno = e;
    return {};
  }
  return tmpl;
}

// Where the data really goes: symbolic links are followed, a chain of them
// included and the last one dangling (its target does not exist yet), so
// the links stay and the file they lead to is written. Relative links are
// taken from the folder of the link. False with errno set for a loop.
bool ResolveTarget(const std::string& path, std::string& target) {
  target = path;
  for (int depth = 0; depth < 40; ++depth) {  // the kernel's own limit
    struct stat st {};
    if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    std::string link(PATH_MAX, '\0');
    const ssize_t n = ::readlink(target.c_str(), link.data(), link.size());
    if (n < 0) return false;
    link.resize(static_cast<std::size_t>(n));
    target = (!link.empty() && link[0] == '/') ? link : FolderOf(target) + "/" + link;
  }
  errno = ELOOP;
  return false;
}

// Writes over an existing file through `fd` (opened for writing): used only
// where no temporary file can be made next to it. Space for the new
// contents is reserved first, so a full disk is found before anything of
// the file changes.
bool WriteInPlace(int fd, const void* data, std::size_t size) {
  const int r = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
  if (r != 0 && r != EOPNOTSUPP && r != EINVAL) {
    errno = r;
    return false;
  }
  return ::lseek(fd, 0, SEEK_SET) == 0 && WriteAll(fd, static_cast<const std::uint8_t*>(data), size) &&
         ::ftruncate(fd, static_cast<off_t>(size)) == 0 && ::fsync(fd) == 0;
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
      i += (c == '\r' && i + 1 < n && text[i + 1] == '\n') ? 2u : 1u;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < n) lines.emplace_back(text, start, n - start);
}

bool ReadFileBytes(const std::string& path, std::string& bytes, std::string& message, const char* what,
                   std::size_t maxSize) {
  if (path.empty()) {
    message = ReadError(what, "\"\"", Reason(ENOENT));
    return false;
  }
  // Non-blocking open: a FIFO without a writer must not hang the caller.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) {
    message = ReadError(what, path, Reason(errno));
    return false;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    message = ReadError(what, path, Reason(errno));
    return false;
  }
  // Devices and FIFOs may never end (or block); only plain files are read.
  if (const std::string why = NotAPlainFile(st); !why.empty()) {
    message = ReadError(what, path, why);
    return false;
  }
  std::string data;
  if (S_ISREG(st.st_mode)) {
    if (static_cast<std::uint64_t>(st.st_size) > maxSize) {
      message = ReadError(what, path, "file too large");
      return false;
    }
    data.reserve(static_cast<std::size_t>(st.st_size));
  }
  char buf[65536];
  for (;;) {
    const ssize_t r = ::read(fd.get(), buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      message = ReadError(what, path, Reason(errno));
      return false;
    }
    if (r == 0) break;
    if (data.size() + static_cast<std::size_t>(r) > maxSize) {
      message = ReadError(what, path, "file too large");
      return false;
    }
    data.append(buf, static_cast<std::size_t>(r));
  }
  bytes.swap(data);
  return true;
}

bool ReadTextLines(const std::string& path, std::vector<std::string>& lines, std::string& message, const char* what) {
  std::string data;
  if (!ReadFileBytes(path, data, message, what)) return false;
  std::vector<std::string> result;
  SplitLines(data, result);
  lines.swap(result);
  return true;
}

bool WriteTextLinesAtomic(const std::string& path, const std::vector<std::string>& lines, std::string& message,
                          const char* what) {
  std::string data;
  std::size_t total = 0;
  for (const auto& l : lines) total += l.size() + 2;
  data.reserve(total);
  for (const auto& l : lines) {
    data += l;
    data += "\r\n";
  }
  return WriteFileAtomic(path, data.data(), data.size(), message, what);
}

bool WriteFileAtomic(const std::string& path, const void* data, std::size_t size, std::string& message,
                     const char* what) {
  if (path.empty() || path.back() == '/') {
    message = WriteError(what, path.empty() ? "\"\"" : path, Reason(path.empty() ? ENOENT : EISDIR));
    return false;
  }
  std::string target;
  if (!ResolveTarget(path, target)) {
    message = WriteError(what, path, Reason(errno));
    return false;
  }
  KeptAttributes keep;
  keep.mode = 0666 & ~CurrentUmask();
  Fd existing(-1);
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0) {
    // A device or pipe cannot be replaced by renaming; refuse rather than swap it for a plain file.
    if (const std::string why = NotAPlainFile(st); !why.empty()) {
      message = WriteError(what, path, why);
      return false;
    }
    // An existing file must be one the user may write: a rename needs only
    // the folder's permission, and would replace a read-only file. Opening it
    // for writing (nothing is truncated) asks the system, which gives its own
    // reason.
    existing.reset(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (existing.get() < 0) {
      message = WriteError(what, path, Reason(errno));
      return false;
    }
    keep.existing = true;
    keep.mode = st.st_mode & 07777;
    keep.uid = st.st_uid;
    keep.gid = st.st_gid;
  } else if (errno != ENOENT) {
    message = WriteError(what, path, Reason(errno));
    return false;
  }
  const std::string folder = FolderOf(target);
  const std::string tmp = WriteTemp(folder, data, size, keep);
  if (tmp.empty()) {
    const int e = errno;
    // A file the user may write in a folder the user may not: written in
    // place, as an editor does (not atomic; the space is reserved first).
    if (e == EACCES && keep.existing) {
      if (!WriteInPlace(existing.get(), data, size) || existing.close() != 0) {
        message = WriteError(what, path, Reason(errno));
        return false;
      }
      return true;
    }
    message = WriteError(what, path, Reason(e));
    return false;
  }
  // A name with other hard links gets the new file; the other names keep
  // the old one (the rule of Qt's QSaveFile).
  if (::rename(tmp.c_str(), target.c_str()) != 0) {
    const int e = errno;
    ::unlink(tmp.c_str());
    message = WriteError(what, path, Reason(e));
    return false;
  }
  SyncFolder(folder);
  return true;
}

bool WriteFileAtomic(const std::string& path, const std::string& bytes, std::string& message, const char* what) {
  return WriteFileAtomic(path, bytes.data(), bytes.size(), message, what);
}

bool WriteFileAtomic(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string& message,
                     const char* what) {
  return WriteFileAtomic(path, bytes.data(), bytes.size(), message, what);
}

bool WriteNewFileExclusive(const std::string& path, const void* data, std::size_t size, std::string& message,
                           bool& existed, const char* what) {
  existed = false;
  if (path.empty() || path.back() == '/') {
    message = WriteError(what, path.empty() ? "\"\"" : path, Reason(path.empty() ? ENOENT : EISDIR));
    return false;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    existed = true;
    message = WriteError(what, path, Reason(EEXIST));
    return false;
  }
  KeptAttributes fresh;
  fresh.mode = 0666 & ~CurrentUmask();
  const std::string tmp = WriteTemp(FolderOf(path), data, size, fresh);
  if (tmp.empty()) {
    message = WriteError(what, path, Reason(errno));
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
    message = WriteError(what, path, Reason(e));
    return false;
  }
  SyncFolder(FolderOf(path));
  return true;
}

bool WriteNewFileExclusive(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string& message,
                           bool& existed, const char* what) {
  return WriteNewFileExclusive(path, bytes.data(), bytes.size(), message, existed, what);
}

}  // namespace mv
