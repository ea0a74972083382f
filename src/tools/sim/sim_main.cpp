#include <cstdio>

int main() {
  std::fprintf(stderr, "morvane-sim: not available yet\n");
  return 2;
}
