#include <cstdio>

#include "sim.h"

// Placeholder until this simulator lands.
int RunMcuSim(int /*argc*/, char** /*argv*/) {
  std::fprintf(stderr, "cardgate-sim mcu: not available in this build\n");
  return 2;
}
