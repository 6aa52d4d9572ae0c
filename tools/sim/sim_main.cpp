#include <cstdio>
#include <cstring>

#include "sim.h"

namespace {

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: cardgate-sim <subcommand> [options]\n"
               "  samv       SAMV decode servers on the given TCP ports\n"
               "  mcu        module management controllers on the given UDP ports\n"
               "  device     a card reader terminal\n"
               "  logserver  a log server that decrypts and prints each card record\n"
               "'cardgate-sim <subcommand> --help' describes its options.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    Usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  struct {
    const char* szName;
    int (*pRun)(int, char**);
  } const commands[] = {{"samv", RunSamvSim},
                        {"mcu", RunMcuSim},
                        {"device", RunDeviceSim},
                        {"logserver", RunLogServerSim}};
  for (const auto& c : commands) {
    if (std::strcmp(argv[1], c.szName) == 0) {
      return c.pRun(argc - 1, argv + 1);
    }
  }
  std::fprintf(stderr, "cardgate-sim: unknown subcommand '%s'\n", argv[1]);
  Usage(stderr);
  return 2;
}
