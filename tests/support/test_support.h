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
// Runs a program (no shell) and collects its output.
RunResult Run(const std::vector<std::string>& argv, const std::string& stdinText = "");

inline std::string CliPath() { return MV_CLI_PATH; }
inline std::string SimPath() { return MV_SIM_PATH; }

}  // namespace mvtest
