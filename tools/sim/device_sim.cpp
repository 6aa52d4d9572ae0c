#include <cstdio>

#include "sim.h"

// Placeholder until this simulator lands.
int RunDeviceSim(int /*argc*/, char** /*argv*/) {
  std::fprintf(stderr, "cardgate-sim device: not available in this build\n");
  return 2;
}
