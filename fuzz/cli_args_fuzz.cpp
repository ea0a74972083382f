// The command-line tool's argument handling: each input is split at NUL
// bytes into an argument list for one command group, which is called
// in-process inside a private scratch folder that holds a few valid files to
// refer to. Arguments never name anything outside that folder: every '/'
// is replaced, so no input can read or write elsewhere. The group must
// return 0, 1 or 2 and never crash; whatever it wrote is removed afterwards.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/field_parse.h"
#include "core/text_file.h"
#include "fuzz_util.h"
#include "profiles/profile_file.h"
#include "session/config_file.h"
#include "tools/cli/cli.h"

namespace mv::cli {
int Usage(const char* text) {
  std::fprintf(stderr, "morvane-cli: usage: %s\n", text);
  return 2;
}
}  // namespace mv::cli

namespace {

// name -> contents of the files every input may refer to ("d" is a folder).
std::map<std::string, std::string> gFixtures;

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& l : lines) text += l + "\r\n";
  return text;
}

void PutFile(const std::string& name, const std::string& bytes) {
  FILE* f = std::fopen(name.c_str(), "wb");
  if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) std::abort();
}

void MakeFixtures() {
  gFixtures["p.ini"] = Joined(mv::MotorProfileFileLines(mv::MotorProfileDefaults(0)));
  gFixtures["q.ini"] = Joined(mv::MotorProfileFileLines(mv::MotorProfileDefaults(3)));
  gFixtures["c.ini"] = Joined(mv::ConfigFileLines(mv::AppConfig{}));
  gFixtures["f.hex"] = fuzzutil::FirmwareHexText();
  gFixtures["s.hex"] = fuzzutil::HexText({{0x100, {1, 2, 3, 4, 5}}});
  gFixtures["bad.ini"] = "Motor Profile Configuration File\r\n\r\nvers_major: 2\r\n";
  for (const auto& [name, bytes] : gFixtures) PutFile(name, bytes);
  mkdir("d", 0700);
}

void RemoveTree(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") RemoveTree(path + "/" + name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

// Removes whatever the last command created, keeping the fixtures.
void CleanScratch() {
  DIR* dir = opendir(".");
  if (!dir) std::abort();
  std::vector<std::string> extra;
  while (dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name != "." && name != ".." && !gFixtures.count(name)) extra.push_back(name);
  }
  closedir(dir);
  for (const auto& name : extra)
    if (name != "d") RemoveTree(name);
  RemoveTree("d");
  mkdir("d", 0700);
  // A command may have replaced a fixture (an output named like it): put it back.
  for (const auto& [name, bytes] : gFixtures) {
    std::string now, err;
    if (!mv::ReadFileBytes(name, now, err) || now != bytes) PutFile(name, bytes);
  }
}

// A window larger than this is a legitimate request for a lot of memory,
// not a fault; such inputs are skipped.
bool AsksForHugeWindow(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i + 1 < args.size(); ++i) {
    std::int64_t v = 0;
    if (args[i] == "--size" && mv::StrToInt64(args[i + 1], v) && v > (1 << 24)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // tmpfs when there is one: the commands flush what they write to disk.
  char tmpl[64];
  std::snprintf(tmpl, sizeof tmpl, "%s/mv-fuzz-cli-XXXXXX", access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
  const char* dir = mkdtemp(tmpl);
  if (!dir || chdir(dir) != 0) {
    std::perror("scratch folder");
    std::abort();
  }
  MakeFixtures();
  setenv("MORVANE_PORT_MAP", dir, 1);  // an empty port map
  static std::string scratch = dir;
  std::atexit([] {
    if (chdir("/") == 0) RemoveTree(scratch);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int group = data[0] % 5;
  std::vector<std::string> args;
  std::string cur;
  for (std::size_t i = 1; i < size; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == '\0') {
      args.push_back(cur);
      cur.clear();
      if (args.size() >= 24) break;
    } else {
      cur += c == '/' ? '_' : c;
    }
  }
  if (args.size() < 24) args.push_back(cur);
  if (AsksForHugeWindow(args)) return 0;
  // The drive group only ever gets a device path inside the scratch folder
  // (where no terminal exists), never a port number that maps to real hardware.
  if (group == 4) {
    bool device = false;
    for (const auto& a : args) {
      if (a == "--port") return 0;
      device = device || a == "--device";
    }
    if (!device) return 0;
  }

  std::vector<std::vector<char>> storage;
  std::vector<char*> argv;
  for (const auto& a : args) storage.emplace_back(a.c_str(), a.c_str() + a.size() + 1);
  for (auto& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(args.size());

  int rc = -1;
  switch (group) {
    case 0: rc = mv::cli::Profile(argc, argv.data()); break;
    case 1: rc = mv::cli::Config(argc, argv.data()); break;
    case 2: rc = mv::cli::Hex(argc, argv.data()); break;
    case 3: rc = mv::cli::Spl(argc, argv.data()); break;
    case 4: rc = mv::cli::Drive(argc, argv.data()); break;
  }
  FUZZ_CHECK(rc == 0 || rc == 1 || rc == 2);
  std::fflush(stdout);
  CleanScratch();
  return 0;
}
