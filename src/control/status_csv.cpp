#include "control/status_csv.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace mv {

namespace {

std::string SystemError(const char* what, const std::string& path, int err) {
  return std::string("ERROR: - ") + what + " the status log " + path + ": " + std::strerror(err);
}

}  // namespace

const std::string& StatusCsvHeader() {
  static const std::string header = [] {
    std::string h = "Time";
    for (const StatusFieldInfo& f : kStatusFields) {
      h += ',';
      h += f.label;
    }
    return h;
  }();
  return header;
}

std::int64_t WallClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::size_t FormatIsoTimestamp(std::int64_t unixMs, char* out, std::size_t size) {
  std::int64_t seconds = unixMs / 1000;
  std::int64_t ms = unixMs % 1000;
  if (ms < 0) {  // before 1970: keep the milliseconds positive
    ms += 1000;
    --seconds;
  }
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) {
    if (size > 0) out[0] = '\0';
    return 0;
  }
  const long offset = local.tm_gmtoff;  // seconds east of UTC
  const long absOffset = offset < 0 ? -offset : offset;
  const int n = std::snprintf(out, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld", local.tm_year + 1900,
                              local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                              static_cast<int>(ms), offset < 0 ? '-' : '+', absOffset / 3600, (absOffset / 60) % 60);
  if (n < 0 || static_cast<std::size_t>(n) >= size) {
    if (size > 0) out[0] = '\0';
    return 0;
  }
  return static_cast<std::size_t>(n);
}

std::size_t FormatStatusCsvLine(std::int64_t unixMs, const StatusValues& values, char* out, std::size_t size) {
  std::size_t pos = FormatIsoTimestamp(unixMs, out, size);
  if (pos == 0) return 0;
  for (const StatusFieldInfo& f : kStatusFields) {
    char text[kStatusTextSize] = "";
    if (values.Has(f.field)) {
      if (f.format == StatusFormat::Hex4)
        std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(values.Raw(f.field)));
      else
        FormatStatusValue(f.field, values.Raw(f.field), text);
    }
    const int n = std::snprintf(out + pos, size - pos, ",%s", text);
    if (n < 0 || static_cast<std::size_t>(n) >= size - pos) return 0;
    pos += static_cast<std::size_t>(n);
  }
  if (size - pos < 3) return 0;
  out[pos++] = '\r';
  out[pos++] = '\n';
  out[pos] = '\0';
  return pos;
}

StatusCsvWriter::~StatusCsvWriter() {
  std::string ignored;
  Close(ignored);
}

bool StatusCsvWriter::WriteAll(const char* data, std::size_t length, std::string& message) {
  // Where the line begins: a write cut short (a full disk) is taken back to
  // here, so the log holds whole lines only.
  const off_t start = ::lseek(fd_, 0, SEEK_END);
  while (length > 0) {
    const ssize_t n = ::write(fd_, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int e = n < 0 ? errno : EIO;
      message = SystemError("cannot write to", path_, e);
      if (start >= 0) (void)::ftruncate(fd_, start);
      return false;
    }
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool StatusCsvWriter::Open(const std::string& path, std::string& message) {
  std::string ignored;
  Close(ignored);
  if (path.empty()) {
    message = "ERROR: - no file name given for the status log";
    return false;
  }
  // O_NONBLOCK only so that a FIFO cannot hang the open; it is refused below.
  const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd < 0) {
    message = SystemError("cannot open", path, errno);
    return false;
  }
  auto refuse = [&](std::string why) {
    ::close(fd);
    message = std::move(why);
    return false;
  };
  struct stat st {};
  if (::fstat(fd, &st) != 0) return refuse(SystemError("cannot open", path, errno));
  if (!S_ISREG(st.st_mode)) return refuse("ERROR: - the status log " + path + " is not a regular file");
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

  const std::string& header = StatusCsvHeader();
  bool needHeader = st.st_size == 0;
  bool needLineEnd = false;
  if (!needHeader) {
    // Only a status log of ours is continued; any other file stays untouched.
    std::string first(header.size() + 2, '\0');
    const ssize_t n = ::pread(fd, first.data(), first.size(), 0);
    if (n < 0) return refuse(SystemError("cannot read", path, errno));
    first.resize(static_cast<std::size_t>(n));
    const bool isLog = first.compare(0, header.size(), header) == 0 &&
                       (first.compare(header.size(), 2, "\r\n") == 0 || first.compare(header.size(), 1, "\n") == 0);
    if (!isLog)
      return refuse("ERROR: - " + path +
                    " is not a status log (its first line is not the status log header); nothing was written to it");
    char last = '\n';
    if (::pread(fd, &last, 1, st.st_size - 1) == 1) needLineEnd = last != '\n';
  }
  fd_ = fd;
  path_ = path;
  lines_ = 0;
  // A line cut short by an earlier crash is ended, so the next line starts clean.
  if (needLineEnd && !WriteAll("\r\n", 2, message)) {
    Close(ignored);
    return false;
  }
  if (needHeader) {
    const std::string line = header + "\r\n";
    if (!WriteAll(line.data(), line.size(), message)) {
      Close(ignored);
      return false;
    }
  }
  return true;
}

bool StatusCsvWriter::Append(std::int64_t unixMs, const StatusValues& values, std::string& message) {
  if (fd_ < 0) {
    message = "ERROR: - the status log is not open";
    return false;
  }
  char line[kStatusCsvLineSize];
  const std::size_t n = FormatStatusCsvLine(unixMs, values, line, sizeof line);
  if (n == 0) {
    message = "ERROR: - cannot format the time stamp for the status log " + path_;
    return false;
  }
  if (!WriteAll(line, n, message)) {
    std::string ignored;
    Close(ignored);
    return false;
  }
  ++lines_;
  return true;
}

bool StatusCsvWriter::Close(std::string& message) {
  if (fd_ < 0) return true;
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && errno != EINTR) {
    message = SystemError("cannot close", path_, errno);
    return false;
  }
  return true;
}

}  // namespace mv
