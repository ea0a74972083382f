// Whole-file reading and safe writing for the program's text and image files.
//
// Reads return the file as a list of lines (CR LF, CR alone or LF alone end a
// line; a terminator at the very end does not start another line).
// Writes never leave a half-written file behind: the data goes to a temporary
// file in the target's folder, is flushed to disk and then renamed over the
// target; on any failure the temporary file is removed and the previous file
// is left as it was. The temporary file has no name while it is written
// (O_TMPFILE, where the file system has it), so even a program killed in the
// middle of a save leaves nothing behind. The replaced file keeps what
// protects it:
// - a file the user may not write is refused with the system's reason, and
//   nothing changes (a rename alone would need only the folder's permission);
// - a symbolic link is followed (chains too, and a link to a file not yet
//   made): the link stays and the file it leads to is written;
// - the mode is kept, and the owner and group where the system allows it
//   (only root may give a file to another user; a member of the file's group
//   keeps the group);
// - a name with other hard links gets the new file and the other names keep
//   the old one, as with Qt's QSaveFile;
// - a file the user may write in a folder the user may not is written in
//   place (not atomic, as an editor does; space is reserved first, so a full
//   disk changes nothing);
// - the temporary name is short, so any legal name (up to 255 bytes) works.
//
// Every failure returns false and a message of the form
//   "unable to read <what> <path>: <system reason>"
//   "unable to write <what> <path>: <system reason>"
// where <what> names the kind of file ("configuration file", ...).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mv {

// Largest file the readers accept; anything longer is refused, not truncated.
inline constexpr std::size_t kMaxReadFileSize = 64u * 1024u * 1024u;

// Splits text into lines at CR LF, CR or LF; appends them to `lines`.
void SplitLines(const std::string& text, std::vector<std::string>& lines);

// Reads the whole file as bytes.
bool ReadFileBytes(const std::string& path, std::string& bytes, std::string& message, const char* what = "file",
                   std::size_t maxSize = kMaxReadFileSize);

// Reads the whole file as lines; `lines` is replaced only on success.
bool ReadTextLines(const std::string& path, std::vector<std::string>& lines, std::string& message,
                   const char* what = "file");

// Writes each line followed by CR LF, replacing the file atomically.
bool WriteTextLinesAtomic(const std::string& path, const std::vector<std::string>& lines, std::string& message,
                          const char* what = "file");

// Replaces the file atomically with the given bytes.
bool WriteFileAtomic(const std::string& path, const void* data, std::size_t size, std::string& message,
                     const char* what = "file");
bool WriteFileAtomic(const std::string& path, const std::string& bytes, std::string& message,
                     const char* what = "file");
bool WriteFileAtomic(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string& message,
                     const char* what = "file");

// Creates a new file holding the bytes, never replacing an existing one. When
// the name is taken, returns false with `existed` set and the old file kept.
bool WriteNewFileExclusive(const std::string& path, const void* data, std::size_t size, std::string& message,
                           bool& existed, const char* what = "file");
bool WriteNewFileExclusive(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string& message,
                           bool& existed, const char* what = "file");

}  // namespace mv
