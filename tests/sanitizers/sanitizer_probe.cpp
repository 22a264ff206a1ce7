// Commits the fault named on its command line, so that the sanitized build
// can show that each kind of fault ends a run with the sanitizer's own exit
// status, which no test can mistake for the updater's 0 or 1.
#include <climits>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  const char *fault = argv[1];
  volatile int offset = argc - 1; // 1, hidden from the optimiser
  if (std::strcmp(fault, "signed-overflow") == 0) {
    volatile int big = INT_MAX;
    return big + offset > 0 ? 3 : 4;
  }
  if (std::strcmp(fault, "heap-overflow") == 0) {
    char *bytes = static_cast<char *>(std::malloc(8));
    bytes[7 + offset] = 1;
    const int result = bytes[0];
    std::free(bytes);
    return result;
  }
  if (std::strcmp(fault, "leak") == 0) {
    static char *volatile lost = nullptr;
    lost = static_cast<char *>(std::malloc(64));
    lost[0] = 1;
    lost = nullptr;
    return 0;
  }
  return std::strcmp(fault, "none") == 0 ? 0 : 2;
}
