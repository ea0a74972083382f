// Helpers shared by the test programs: temporary folders, file contents and
// running the command-line programs.
#pragma once

#include <string>
#include <vector>

namespace mvtest {

// A fresh folder under the system temp folder, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};
// Runs a program (no shell) and collects its output; with `signal`, sends it
// that signal once `afterMs` have passed (a user's Ctrl-C).
RunResult Run(const std::vector<std::string>& argv, const std::string& stdinText = "", int signal = 0, int afterMs = 0);

// Whether `part` is in `text`, and how often.
inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
inline int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (std::size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1)) ++n;
  return n;
}

// A text file's lines with line `number` (from 1) replaced by `text`.
inline std::vector<std::string> With(std::vector<std::string> lines, int number, const std::string& text) {
  lines.at(static_cast<std::size_t>(number - 1)) = text;
  return lines;
}

// One line (numbered from 1) of a valid file changed, and the message the
// reader refuses the file with; Name() says which case failed.
struct LineCase {
  int line;
  std::string text;
  std::string expected;
  std::string Name() const { return "line " + std::to_string(line) + " \"" + text + "\""; }
};

inline std::string CliPath() { return MV_CLI_PATH; }
inline std::string SimPath() { return MV_SIM_PATH; }

}  // namespace mvtest
