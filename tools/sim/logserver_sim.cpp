#include <cstdio>

#include "sim.h"

// Placeholder until this simulator lands.
int RunLogServerSim(int /*argc*/, char** /*argv*/) {
  std::fprintf(stderr, "cardgate-sim logserver: not available in this build\n");
  return 2;
}
