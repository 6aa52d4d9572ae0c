// Process entry: without arguments the gateway daemon, with one to three arguments a one-shot
// module management command.
#include <signal.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include <boost/chrono/duration.hpp>
#include <boost/thread/thread.hpp>

#include "config/byte_io.h"
#include "config/run_log.h"
#include "core/data_switch.h"
#include "decodelog/log_upload.h"

namespace {

// Where a command goes when the command line gives no usable address (four or more arguments).
constexpr char kDefaultModuleAddress[] = "192.168.1.100";

[[noreturn]] void RunGatewayLoop(DataSwitch& ds) {
  for (;;) {
    uint32_t unUploaded = 0;
    try {
      ds.SynchronizeUserData();
      ds.ProcessSamvErrorClient();
      ds.ProcessSamvSetRtc();
      unUploaded = ProcessSendSamvDecodeLog(ds);
    } catch (const std::exception& e) {
      // One failed pass must not end the daemon; the next pass tries again.
      WriteLogF("FUNCTION %s  LINE %d Exception:%s!", "main", __LINE__, e.what());
    } catch (...) {
      WriteLogF("FUNCTION %s  LINE %d Exception:unknown!", "main", __LINE__);
    }
    if (unUploaded == 0) {
      boost::this_thread::sleep_for(boost::chrono::milliseconds(100));  // steady clock
    }
  }
}

int Run(int argc, char** argv) {
  // The address is kept whole: a module is chosen by exact comparison, and an address cut to a
  // field would select a module whose address is only its beginning.
  std::string strAddress = kDefaultModuleAddress;
  char szPort[16] = {0};
  char szCommand[256] = {0};
  CopyText(szPort, "31213");
  CopyText(szCommand, "GetRtc");

  DataSwitch ds(GetExeDirectory());
  ds.LogBuildTime();
  const int nArgs = argc - 1;
  if (!ds.DataSwitchInit(nArgs == 0)) {
    std::fprintf(stderr, "cardgate: cannot start: a configuration file in %s cannot be read "
                         "(see the run log above)\n",
                 GetExeDirectory().c_str());
    return 1;
  }
  std::printf("Press any key to exit!\n");
  std::fflush(stdout);
  if (nArgs == 0) {
    RunGatewayLoop(ds);
  }
  if (nArgs <= 3) {
    CopyText(szCommand, argv[nArgs]);
    CopyText(szPort, nArgs == 3 ? argv[2] : "0");
    strAddress = nArgs >= 2 ? argv[1] : "";
  }
  for (char* p = szCommand; *p != '\0'; ++p) {
    *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  }
  ds.ProcessVelmApiCommand(strAddress.c_str(), std::atoi(szPort), szCommand);
  (void)std::getchar();  // any key, or the end of standard input
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A device that vanishes mid-write must cost its session, not the process.
  signal(SIGPIPE, SIG_IGN);
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cardgate: cannot start: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "cardgate: cannot start: unknown error\n");
  }
  return 1;
}
