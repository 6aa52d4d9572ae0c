// Process entry. The gateway proper arrives with the data switch; for now the entry logs the
// executable's directory so that the run directory can be checked.
#include <cstdio>

#include "config/run_log.h"

int main() {
  WriteLogF("cardgate: configuration directory %s", GetExeDirectory().c_str());
  return 0;
}
