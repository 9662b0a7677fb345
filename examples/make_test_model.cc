// Writes a small test model: a network with random weights and a sixteen-piece
// vocabulary, made only to exercise the library end to end. It is not a
// trained model, and its translations mean nothing.
//
//   qz_make_test_model PATH [SEED]
#include <cstdio>
#include <cstdlib>

#include "engine/test_models.h"

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PATH [SEED]\n", argv[0]);
    return 2;
  }
  const uint32_t seed = argc > 2 ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) : 1;
  const model_record model = test_models::random_network(seed, 16, 32, 24, 3);
  if (!test_models::save(write_model(model).data(), argv[1])) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
