#include "core/text_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/types.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

// The named temporary file's name in the target's folder: short and fixed
// in length, so that it is legal wherever the target's own name is (a name
// of up to 255 bytes leaves no room for a suffix).
constexpr const char* kTempPrefix = "/.mv-save-";
constexpr std::size_t kTempSuffixLength = 6;

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

// A fresh temporary name in `folder` (not yet taken when made).
std::string RandomTempName(const std::string& folder) {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char random[kTempSuffixLength] = {};
  if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
    const auto seed = static_cast<unsigned>(::getpid()) ^ static_cast<unsigned>(::clock());
    for (std::size_t i = 0; i < sizeof random; ++i) random[i] = static_cast<unsigned char>(seed >> (i * 5));
  }
  std::string name = folder + kTempPrefix;
  for (const unsigned char r : random) name += kChars[r % (sizeof kChars - 1)];
  return name;
}

// The file a save writes first, in the target's folder, flushed to disk
// before it takes the target's place. Unnamed (O_TMPFILE) where the file
// system makes one: it gets a name only when it is complete, so a process
// killed meanwhile leaves nothing behind. Elsewhere a named one, removed
// again on every failure.
class TempFile {
 public:
  TempFile() = default;
  ~TempFile() {
    const int e = errno;  // the caller's reason stays
    if (!name_.empty()) ::unlink(name_.c_str());
    errno = e;
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Makes and fills it (mode, owner and group as `keep` says); unnamed only
  // when `unnamed` and the file system allows. False with errno set.
  bool Write(const std::string& folder, const void* data, std::size_t size, const KeptAttributes& keep, bool unnamed) {
    if (unnamed) fd_.reset(::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    // Not made (a file system or kernel without it, or a real failure): the
    // named file tells which, with the system's own reason.
    if (fd_.get() < 0) {
      std::string tmpl = folder + kTempPrefix + std::string(kTempSuffixLength, 'X');
      fd_.reset(::mkostemp(tmpl.data(), O_CLOEXEC));
      if (fd_.get() < 0) return false;
      name_ = tmpl;
    }
    ApplyAttributes(fd_.get(), keep);
    return ::fchmod(fd_.get(), keep.mode) == 0 && WriteAll(fd_.get(), static_cast<const std::uint8_t*>(data), size) &&
           ::fsync(fd_.get()) == 0 && (Unnamed() || fd_.close() == 0);  // a delayed write error shows up at close
  }

  bool Unnamed() const { return name_.empty(); }

  // Gives the file the name `path`, never replacing a file there (EEXIST).
  bool LinkAs(const std::string& path) {
    if (Unnamed()) {
      const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
      if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
      // Without /proc: the descriptor itself (allowed to privileged users only).
      if (errno != ENOENT || ::access("/proc/self/fd", F_OK) == 0) return false;
      return ::linkat(fd_.get(), "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0;
    }
    if (::link(name_.c_str(), path.c_str()) == 0) return true;
    // File systems without hard links: an exclusive rename does the same.
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return false;
    if (::renameat2(AT_FDCWD, name_.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) return false;
    name_.clear();
    return true;
  }

  // Puts the file in place of `path` at once, replacing any file there.
  bool RenameOver(const std::string& folder, const std::string& path) {
    // An unnamed file is named beside the target first (there is no
    // atomic replace for it); only this moment has a name to leave behind.
    for (int attempt = 0; Unnamed(); ++attempt) {
      const std::string name = RandomTempName(folder);
      if (LinkAs(name)) {
        name_ = name;
      } else if (errno != EEXIST || attempt == 100) {
        return false;
      }
    }
    if (::rename(name_.c_str(), path.c_str()) != 0) return false;
    name_.clear();
    return true;
  }

 private:
  Fd fd_{-1};
  std::string name_;  // the named file's path; "" while unnamed
};

// Writes the data to a temporary file in `folder` and puts it in place as
// `target`: replacing a file there, or never (`exclusive`: EEXIST). False
// with errno set; nothing is left behind.
bool SaveThroughTemp(const std::string& folder, const std::string& target, const void* data, std::size_t size,
                     const KeptAttributes& keep, bool exclusive) {
  for (const bool unnamed : {true, false}) {
    TempFile tmp;
    if (!tmp.Write(folder, data, size, keep, unnamed)) return false;
    // A name is given to the complete file at once, never replacing a file
    // there (EEXIST).
    if (tmp.Unnamed() || exclusive) {
      if (tmp.LinkAs(target)) return true;
      if (exclusive && (errno == EEXIST || !tmp.Unnamed())) return false;
    }
    if (!exclusive && tmp.RenameOver(folder, target)) return true;
    // An unnamed file that cannot be linked (no /proc, a file system that
    // refuses): once more with a named one, which tells the real reason.
    if (!tmp.Unnamed()) return false;
  }
  return false;
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
  if (!SaveThroughTemp(folder, target, data, size, keep, false)) {
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
  if (!SaveThroughTemp(FolderOf(path), path, data, size, fresh, true)) {
    existed = errno == EEXIST;
    message = WriteError(what, path, Reason(errno));
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
