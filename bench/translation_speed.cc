// Latency of translating a fixed file of texts one at a time, the way an
// application calls the library: one engine per device string, every text
// translated in turn, the whole file timed. Uses only the public interface,
// so the same source measures any build of the library.
//
//   translation_speed MODEL TEXTS [REPEATS] [DEVICE ...]
//
// Prints, per device, the median and the best time over REPEATS passes and a
// hash of the translations (equal hashes: equal outputs).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "qz_norvo.h"

namespace {

std::vector<std::string> read_lines(const char *path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

uint64_t fnv1a(uint64_t hash, const char *text) {
  for (; *text; ++text) hash = (hash ^ static_cast<unsigned char>(*text)) * 0x100000001b3ull;
  return (hash ^ 0xff) * 0x100000001b3ull;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s MODEL TEXTS [REPEATS] [DEVICE ...]\n", argv[0]);
    return 2;
  }
  const std::vector<std::string> texts = read_lines(argv[2]);
  if (texts.empty()) {
    std::fprintf(stderr, "%s: no texts\n", argv[2]);
    return 2;
  }
  const int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  std::vector<std::string> devices;
  for (int i = 4; i < argc; ++i) devices.emplace_back(argv[i]);
  if (devices.empty()) devices = {"cpu:1", "cpu:4"};

  for (const std::string &device : devices) {
    qz_norvo_t *engine = nullptr;
    if (qz_norvo_init(argv[1], device.c_str(), &engine) != QZ_STATUS_SUCCESS) {
      std::fprintf(stderr, "%s: creating the engine failed\n", device.c_str());
      return 1;
    }
    std::vector<double> seconds;
    uint64_t hash = 0xcbf29ce484222325ull;
    for (int r = 0; r <= repeats; ++r) {  // pass 0 warms the caches and is not counted
      uint64_t pass_hash = 0xcbf29ce484222325ull;
      const auto start = std::chrono::steady_clock::now();
      for (const std::string &text : texts) {
        char *translation = nullptr;
        if (qz_norvo_translate(engine, text.c_str(), &translation) != QZ_STATUS_SUCCESS) {
          std::fprintf(stderr, "%s: translating \"%s\" failed\n", device.c_str(), text.c_str());
          qz_norvo_delete(engine);
          return 1;
        }
        pass_hash = fnv1a(pass_hash, translation);
        qz_norvo_translation_delete(engine, translation);
      }
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      if (r > 0) seconds.push_back(took.count());
      hash = pass_hash;
    }
    qz_norvo_delete(engine);
    std::sort(seconds.begin(), seconds.end());
    std::printf("%-8s %zu texts: median %.3f s, best %.3f s over %d passes, outputs %016llx\n",
                device.c_str(), texts.size(), seconds[seconds.size() / 2], seconds.front(),
                repeats, static_cast<unsigned long long>(hash));
    std::fflush(stdout);
  }
  return 0;
}
