// Times `morvane-cli spl build` on a nearly full dsPIC33EP512 firmware file
// (16-byte data lines, type 04 records) against srec_cat doing the same
// conversion of the application range (crop, fill 0xFF, binary out).
// Whole processes, several interleaved runs, medians. Goal: ours at most half
// of srec_cat's time. Exit status 1 when the goal is missed.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

const char* kSrecCat = "/usr/bin/srec_cat";

void AppendRecord(std::string& out, unsigned count, unsigned offset, unsigned type, const unsigned char* data) {
  static const char kDigits[] = "0123456789ABCDEF";
  unsigned sum = count + (offset >> 8) + (offset & 0xFF) + type;
  auto put = [&out](unsigned b) {
    out += kDigits[(b >> 4) & 0xF];
    out += kDigits[b & 0xF];
  };
  out += ':';
  put(count);
  put(offset >> 8);
  put(offset & 0xFF);
  put(type);
  for (unsigned i = 0; i < count; ++i) {
    put(data[i]);
    sum += data[i];
  }
  put((0x100 - (sum & 0xFF)) & 0xFF);
  out += "\r\n";
}

// Pages 4..169 (all but the blank motor profile page 8) and the device's
// last page 170, in program words of three bytes and a 0x00 byte.
std::string MakeFirmware() {
  std::string hex;
  hex.reserve(12u << 20);
  long upper = -1;
  unsigned char line[16];
  for (std::uint32_t page = 4; page <= 170; ++page) {
    if (page == 8) continue;
    const std::uint32_t end = page == 170 ? page * 4096 + 64 : (page + 1) * 4096;
    for (std::uint32_t a = page * 4096; a < end; a += 16) {
      if (static_cast<long>(a >> 16) != upper) {
        upper = a >> 16;
        const unsigned char ext[2] = {static_cast<unsigned char>(upper >> 8), static_cast<unsigned char>(upper)};
        AppendRecord(hex, 2, 0, 4, ext);
      }
      for (unsigned i = 0; i < 16; ++i)
        line[i] = ((a + i) % 4 == 3) ? 0 : static_cast<unsigned char>((a * 13 + i * 7 + (a >> 12)) & 0xFF);
      AppendRecord(hex, 16, a & 0xFFFF, 0, line);
    }
  }
  hex += ":00000001FF\r\n";
  return hex;
}

double RunMs(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ) != 0) {
    std::fprintf(stderr, "cannot start %s\n", args[0]);
    std::exit(2);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  const auto t1 = std::chrono::steady_clock::now();
  posix_spawn_file_actions_destroy(&fa);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed (status %d)\n", args[0], status);
    std::exit(2);
  }
  return std::chrono::duration<double, std::milli>(t1 - t0).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  namespace fs = std::filesystem;
  if (access(kSrecCat, X_OK) != 0) {
    std::printf("spl build: srec_cat not found at %s, comparison skipped\n", kSrecCat);
    return 0;
  }
  std::string tmpl = (fs::temp_directory_path() / "mvbench-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) {
    std::perror("mkdtemp");
    return 2;
  }
  const fs::path dir = tmpl;
  const std::string hexPath = (dir / "fw.hex").string();
  {
    const std::string text = MakeFirmware();
    FILE* f = std::fopen(hexPath.c_str(), "wb");
    if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0) {
      std::perror("writing the HEX file");
      return 2;
    }
    std::printf("spl build: input %.1f MB of Intel HEX, application pages 4..169 of a dsPIC33EP512\n",
                static_cast<double>(text.size()) / 1e6);
  }

  const int runs = 9;
  std::vector<double> ours, theirs, ratios;
  for (int i = 0; i < runs; ++i) {
    const std::string out = (dir / ("fw" + std::to_string(i) + ".spl")).string();
    const double a = RunMs({MV_CLI_PATH, "spl", "build", "--hex", hexPath, "--out", out});
    const std::string bin = (dir / ("ref" + std::to_string(i) + ".bin")).string();
    const double b = RunMs({kSrecCat, hexPath, "-Intel", "-crop", "0x4000", "0xAA000", "-fill", "0xFF", "0x4000",
                            "0xAA000", "-offset", "-0x4000", "-o", bin, "-Binary"});
    ours.push_back(a);
    theirs.push_back(b);
    ratios.push_back(a / b);
    fs::remove(out);
    fs::remove(bin);
  }
  fs::remove_all(dir);

  const double ratio = Median(ratios);
  std::printf("spl build: median %.1f ms (morvane-cli spl build), %.1f ms (srec_cat), %d runs\n", Median(ours),
              Median(theirs), runs);
  std::printf("spl build: median ratio %.2f (goal <= 0.50): %s\n", ratio, ratio <= 0.5 ? "met" : "MISSED");
  return ratio <= 0.5 ? 0 : 1;
}
