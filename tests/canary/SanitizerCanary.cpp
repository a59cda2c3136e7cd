// Makes one fault of the kind named by its argument, so that the sanitizer builds can check that a
// sanitizer's report fails the run instead of scrolling past in a passing test's output.
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

volatile int g_sink = 0;
int g_shared = 0;  // written by two threads without a lock: a data race

int Fault(const char* kind) {
  if (std::strcmp(kind, "heap-overflow") == 0) {
    // Through memcpy, which ASan checks and UBSan's object-size check does not, so that the
    // report is ASan's own.
    char* block = new char[4];
    volatile size_t length = 8;
    char copy[8];
    std::memcpy(copy, block, length);
    g_sink = copy[7];
    delete[] block;
  } else if (std::strcmp(kind, "undefined") == 0) {
    volatile int large = INT_MAX;
    g_sink = large + 1;
  } else if (std::strcmp(kind, "leak") == 0) {
    volatile int* lost = new int[64];
    lost[0] = 1;
    lost = nullptr;
  } else if (std::strcmp(kind, "race") == 0) {
    std::thread other([] {
      for (int i = 0; i < 100000; ++i) g_shared = g_shared + 1;
    });
    for (int i = 0; i < 100000; ++i) g_shared = g_shared + 2;
    other.join();
    g_sink = g_shared;
  } else {
    std::fprintf(stderr, "unknown fault '%s'\n", kind);
    return 2;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return argc == 2 ? Fault(argv[1]) : 2; }
