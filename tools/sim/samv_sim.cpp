#include <cstdio>

#include "sim.h"

// Placeholder until this simulator lands.
int RunSamvSim(int /*argc*/, char** /*argv*/) {
  std::fprintf(stderr, "cardgate-sim samv: not available in this build\n");
  return 2;
}
