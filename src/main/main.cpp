// Process entry: without arguments the gateway daemon, with one to three arguments a one-shot
// module management command.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <exception>
#include <string>


#include "config/byte_io.h"
#include "config/run_log.h"
#include "core/data_switch.h"
#include "decodelog/log_upload.h"
#include "service/config_check.h"
#include "service/config_reload.h"
#include "service/service_notify.h"
#include "status/status_probe.h"
#include "status/status_server.h"

namespace {

// Where a command goes when the command line gives no usable address (four or more arguments).
constexpr char kDefaultModuleAddress[] = "192.168.1.100";

// How long the stop lets answers already under way reach their readers.
constexpr std::chrono::milliseconds kStopGrace(1000);

// Set by the signal handlers, read by the main loop. Lock-free, so the handlers may touch them.
static_assert(ATOMIC_INT_LOCK_FREE == 2, "signal flags must be lock-free");
std::atomic<int> g_nStopSignal{0};
std::atomic<int> g_nStatusRequests{0};
std::atomic<int> g_nReloadRequests{0};
// Modules in the pool (a reload changes it): the main loop's stall limit follows it.
std::atomic<uint32_t> g_unModules{0};
// Passes of the main loop: the service watchdog's sign that the loop is not wedged.
std::atomic<uint64_t> g_unMainLoopPasses{0};

// How long one pass of the main loop may take before it counts as wedged: the retry step (a
// connect, a restart request and a pause, a few seconds) and the clock synchronisation (one
// request with its one-second wait per module), with room to spare.
constexpr uint32_t kMainLoopBaseLimitMs = 30000;
constexpr uint32_t kMainLoopLimitPerModuleMs = 2000;
// What the upload thread may stand still beyond its longest step.
constexpr uint32_t kUploadLimitMarginMs = 10000;

constexpr char kUsage[] =
    "Usage:\n"
    "  cardgate                        run the gateway (the INI files beside the executable, or\n"
    "                                  in $CARDGATE_CONFIG_DIR)\n"
    "  cardgate COMMAND                a management command to every module of SamvList.ini\n"
    "  cardgate ADDRESS COMMAND        ... to the modules whose IPn is ADDRESS\n"
    "  cardgate ADDRESS PORT COMMAND   the same (PORT is not used)\n"
    "  cardgate --check                read and check the INI files as a start would; exits 1\n"
    "                                  when the gateway would not start, 0 otherwise\n"
    "  cardgate --version              the version and build time, and the TLS library's\n"
    "  cardgate --help                 this text\n"
    "Commands (any case): GETLIBBUILDTIME, GETMCUSERAILNO, SETMCURTC, GETMCURTC, RESETMCU.\n"
    "Signals to the running gateway: TERM or INT stop it, HUP reads the INI files again\n"
    "(readers stay connected), USR1 writes a status line to the run log.\n"
    "A command prints its result in the run log and waits for a key (or the end of the input).\n";

// "busy B free F error E readers R queued Q": what the service manager shows as the status.
std::string PoolSummary(DataSwitch& ds) {
  size_t unBusy = 0;
  size_t unFree = 0;
  size_t unError = 0;
  ds.GetPoolSizes(&unBusy, &unFree, &unError);
  return "busy " + std::to_string(unBusy) + " free " + std::to_string(unFree) + " error " +
         std::to_string(unError) + " readers " + std::to_string(ds.SessionCount()) +
         " queued " + std::to_string(ds.m_DecodeLogQueue.Size());
}

extern "C" void OnStopSignal(int nSignal) {
  if (g_nStopSignal.exchange(nSignal) != 0) {
    // The second stop signal ends the process at once, as the signal itself would.
    ::signal(nSignal, SIG_DFL);
    ::raise(nSignal);
  }
}

extern "C" void OnStatusSignal(int /*nSignal*/) { g_nStatusRequests.fetch_add(1); }

extern "C" void OnReloadSignal(int /*nSignal*/) { g_nReloadRequests.fetch_add(1); }

// Installed whatever was inherited: a gateway started in the background by a shell inherits
// SIGINT ignored, and must still stop cleanly on it.
void InstallSignalHandlers() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof(sa));
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sa.sa_handler = OnStopSignal;
  (void)::sigaction(SIGTERM, &sa, nullptr);
  (void)::sigaction(SIGINT, &sa, nullptr);
  sa.sa_handler = OnStatusSignal;
  (void)::sigaction(SIGUSR1, &sa, nullptr);
  sa.sa_handler = OnReloadSignal;
  (void)::sigaction(SIGHUP, &sa, nullptr);
  // A blocked mask is inherited too (and passed on to every thread made after this).
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGUSR1);
  sigaddset(&set, SIGHUP);
  (void)::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// The clean stop: no new readers, a moment for answers under way, the upload ended with its
// record still queued, pending account changes written, one line on what stays queued. Exits
// with status 0 without running destructors: the detached session and client threads may still
// be inside the objects they use.
[[noreturn]] void StopGateway(DataSwitch& ds, CServiceNotifier& notifier, int nSignal) {
  WriteLogF("FUNCTION %s  LINE %d signal %d: stopping", "main", __LINE__, nSignal);
  (void)notifier.Notify("STOPPING=1");
  ds.StopAccepting();
  const auto tmEnd = std::chrono::steady_clock::now() + kStopGrace;
  while (std::chrono::steady_clock::now() < tmEnd) {
    size_t unBusy = 0;
    size_t unFree = 0;
    size_t unError = 0;
    ds.GetPoolSizes(&unBusy, &unFree, &unError);
    if (unBusy == 0) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ds.m_LogUpload.Stop();
  try {
    ds.SynchronizeUserData(true);
  } catch (...) {
    WriteLogF("FUNCTION %s  LINE %d account changes could not be written", "main", __LINE__);
  }
  const size_t unQueued = ds.m_DecodeLogQueue.Size();
  const size_t unSpooled = ds.m_DecodeLogQueue.Spooled();
  if (unQueued == unSpooled) {
    WriteLogF("FUNCTION %s  LINE %d stopped: %u card records stay queued for the next start",
              "main", __LINE__, static_cast<unsigned>(unQueued));
  } else {
    WriteLogF("FUNCTION %s  LINE %d stopped: %u card records stay queued for the next start, "
              "%u kept in memory only are lost",
              "main", __LINE__, static_cast<unsigned>(unSpooled),
              static_cast<unsigned>(unQueued - unSpooled));
  }
  std::fflush(stdout);
  std::_Exit(0);
}

std::unique_ptr<CStatusServer> StartStatusServer(DataSwitch& ds, StatusSettings* pstSettings);

// SIGHUP: the files are read again while every reader goes on. The service manager is told of
// the reload and of its end, whatever became of it; a refused reload shows in the status text.
void ReloadGateway(DataSwitch& ds, CServiceNotifier& notifier,
                   std::unique_ptr<CStatusServer>& upStatusServer, StatusSettings& stStatus) {
  (void)notifier.Notify("RELOADING=1");
  std::string strRefused;
  try {
    const ReloadOutcome outcome = ReloadConfiguration(ds, stStatus);
    if (outcome.bApplied) {
      g_unModules.store(static_cast<uint32_t>(ds.m_arrTcpClient.size()));
      if (outcome.bStatusChanged) {
        // The old listener lets its port go before the new one binds it.
        const bool bWasRunning = upStatusServer != nullptr;
        upStatusServer.reset();
        upStatusServer = StartStatusServer(ds, &stStatus);
        if (bWasRunning && !upStatusServer) {
          WriteLogF("FUNCTION %s  LINE %d status listener stopped", "main", __LINE__);
        }
      }
    } else {
      strRefused = outcome.strWhy;
    }
  } catch (const std::exception& e) {
    strRefused = e.what();
    WriteLogF("FUNCTION %s  LINE %d Exception:%s!", "main", __LINE__, e.what());
  } catch (...) {
    strRefused = "unknown error";
    WriteLogF("FUNCTION %s  LINE %d Exception:unknown!", "main", __LINE__);
  }
  (void)notifier.Notify("READY=1\nSTATUS=" + PoolSummary(ds) +
                        (strRefused.empty() ? "" : "; reload refused: " + strRefused));
}

[[noreturn]] void RunGatewayLoop(DataSwitch& ds, CServiceNotifier& notifier,
                                 std::unique_ptr<CStatusServer>& upStatusServer,
                                 StatusSettings& stStatus) {
  std::string strLastSummary;
  for (;;) {
    g_unMainLoopPasses.fetch_add(1);
    const int nSignal = g_nStopSignal.load();
    if (nSignal != 0) {
      StopGateway(ds, notifier, nSignal);
    }
    if (g_nReloadRequests.exchange(0) != 0) {
      ReloadGateway(ds, notifier, upStatusServer, stStatus);
      strLastSummary.clear();
    }
    if (notifier.Enabled()) {
      // The service manager's status line follows the pool, sent when it changes.
      std::string strSummary = PoolSummary(ds);
      if (strSummary != strLastSummary) {
        (void)notifier.Notify("STATUS=" + strSummary);
        strLastSummary = std::move(strSummary);
      }
    }
    if (g_nStatusRequests.exchange(0) != 0) {
      ds.WriteStatusLine();
    }
    try {
      ds.SynchronizeUserData();
      ds.ProcessLoginLockouts();
      ds.ProcessSamvErrorClient();
      ds.ProcessSamvSetRtc();
    } catch (const std::exception& e) {
      // One failed pass must not end the daemon; the next pass tries again.
      WriteLogF("FUNCTION %s  LINE %d Exception:%s!", "main", __LINE__, e.what());
    } catch (...) {
      WriteLogF("FUNCTION %s  LINE %d Exception:unknown!", "main", __LINE__);
    }
    // The upload runs on its own thread; the loop's other steps are time-gated.
    for (int i = 0; i < 10 && g_nStopSignal.load() == 0 && g_nStatusRequests.load() == 0 &&
                    g_nReloadRequests.load() == 0;
         ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));  // steady clock
    }
  }
}

// The operator's window, when STATUS.LISTEN asks for it. A listen address or allow list that does
// not read, or a listener that cannot start (port taken), is logged and left out: the gateway's
// own work goes on without its window, and an allow list that cannot be read never opens the
// window to everyone.
std::unique_ptr<CStatusServer> StartStatusServer(DataSwitch& ds, StatusSettings* pstSettings) {
  StatusSettings& stSettings = *pstSettings;
  stSettings = StatusSettings();
  ds.m_ConfigStore.GetStatusSettings(&stSettings);
  if (stSettings.strListen.empty()) {
    return nullptr;
  }
  const std::string strListen = EscapeLogText(stSettings.strListen);
  boost::asio::ip::tcp::endpoint endpoint;
  std::string strError;
  try {
    if (!ParseStatusListen(stSettings.strListen, &endpoint, &strError)) {
      strError = "STATUS.LISTEN: " + strError;
    } else {
      std::unique_ptr<CStatusServer> upServer(new CStatusServer(
          [&ds] { return ReadGatewayStatus(ds); }, GatewayVersion(), GatewayBuildTime(),
          stSettings.unMaxRecordAgeS));
      if (upServer->Start(endpoint, stSettings.strAllow, &strError)) {
        WriteLogF("status page on http://%s/ (metrics /metrics, health /health)",
                  strListen.c_str());
        return upServer;
      }
    }
  } catch (const std::exception& e) {
    strError = e.what();
  }
  WriteLogF("FUNCTION %s  LINE %d status listener on %s cannot start (%s): the gateway runs "
            "without it",
            "main", __LINE__, strListen.c_str(), EscapeLogText(strError).c_str());
  return nullptr;
}

// cardgate --check: each problem on a line of its own, then a summary; 1 when start-up would
// refuse the configuration.
int RunCheck() {
  const std::string strDirectory = GetConfigDirectory();
  size_t unErrors = 0;
  size_t unWarnings = 0;
  for (const ConfigProblem& problem : CheckConfiguration(strDirectory)) {
    std::printf("%s\n", ConfigProblemText(problem).c_str());
    ++(problem.bError ? unErrors : unWarnings);
  }
  std::printf("cardgate --check: %s: %u error(s), %u warning(s)%s\n", strDirectory.c_str(),
              static_cast<unsigned>(unErrors), static_cast<unsigned>(unWarnings),
              unErrors == 0 ? ": the gateway can start" : ": the gateway would not start");
  return unErrors == 0 ? 0 : 1;
}

// What the arguments ask for besides the daemon and a module command: --check, --version and
// --help answer at once; any other argument that starts with '-' is never a command word. Returns the
// exit status, or -1 when the arguments are the daemon's or a command's.
int RunOption(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string strArg = argv[i];
    if (strArg.empty() || strArg[0] != '-') {
      continue;
    }
    if (argc == 2 && (strArg == "--version" || strArg == "-V")) {
      std::printf("cardgate %s (built %s)\n%s\n", GatewayVersion(), GatewayBuildTime(),
                  TlsLibraryVersion());
      return 0;
    }
    if (argc == 2 && (strArg == "--help" || strArg == "-h")) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argc == 2 && strArg == "--check") {
      return RunCheck();
    }
    std::fprintf(stderr, "cardgate: unknown option '%s'\n%s", EscapeLogText(strArg).c_str(),
                 kUsage);
    return 2;
  }
  return -1;
}

int Run(int argc, char** argv) {
  const int nOptionStatus = RunOption(argc, argv);
  if (nOptionStatus >= 0) {
    return nOptionStatus;
  }
  // The address is kept whole: a module is chosen by exact comparison, and an address cut to a
  // field would select a module whose address is only its beginning.
  std::string strAddress = kDefaultModuleAddress;
  char szPort[16] = {0};
  char szCommand[256] = {0};
  CopyText(szPort, "31213");
  CopyText(szCommand, "GetRtc");

  const int nArgs = argc - 1;
  if (nArgs == 0) {
    // Before the start-up work (a long spool to load): a stop asked meanwhile is taken as soon
    // as the gateway is up.
    InstallSignalHandlers();
  }
  DataSwitch ds(GetConfigDirectory());
  ds.LogBuildTime();
  WriteLogF("TLS library: %s", TlsLibraryVersion());
  if (!ds.DataSwitchInit(nArgs == 0)) {
    std::fprintf(stderr, "cardgate: cannot start: a configuration file in %s cannot be read "
                         "(see the run log above)\n",
                 GetConfigDirectory().c_str());
    return 1;
  }
  std::unique_ptr<CStatusServer> upStatusServer;
  StatusSettings stStatus;
  CServiceNotifier notifier;
  std::unique_ptr<CServiceWatchdog> upWatchdog;
  if (nArgs == 0) {
    // The management steps give the loop back between modules once a signal waits, and a stop
    // does not wait for a silent module's reply.
    ds.m_ManagementYield.Install([] {
      return g_nStopSignal.load() != 0 || g_nStatusRequests.load() != 0 ||
             g_nReloadRequests.load() != 0;
    });
    ds.m_VelmApi.SetInterrupt([] { return g_nStopSignal.load() != 0; });
    // Every thread of the running gateway exists once it says it is up.
    ds.m_LogUpload.Start();
    upStatusServer = StartStatusServer(ds, &stStatus);
    g_unModules.store(static_cast<uint32_t>(ds.m_arrTcpClient.size()));
    CServiceWatchdog::Watched mainLoop{"main loop", [] { return g_unMainLoopPasses.load(); }, 0};
    mainLoop.fnLimitMs = [] {
      return kMainLoopBaseLimitMs + kMainLoopLimitPerModuleMs * std::min(g_unModules.load(), 10000u);
    };
    // The upload's longest step follows LOG_SERVER.ANSWER_TIMEOUT_S and TLS, which a reload may
    // change.
    CServiceWatchdog::Watched upload{"upload thread", [&ds] { return ds.m_LogUpload.Steps(); }, 0};
    upload.fnLimitMs = [&ds] { return ds.m_LogUpload.LongestStepMs() + kUploadLimitMarginMs; };
    upWatchdog.reset(new CServiceWatchdog(notifier, {mainLoop, upload}));
    upWatchdog->Start();
    // The device port listens and the spool is loaded: the gateway is ready.
    (void)notifier.Notify("READY=1\nSTATUS=" + PoolSummary(ds));
  }
  std::printf("Press any key to exit!\n");
  std::fflush(stdout);
  if (nArgs == 0) {
    RunGatewayLoop(ds, notifier, upStatusServer, stStatus);
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
