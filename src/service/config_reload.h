#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "config/config_store.h"

class DataSwitch;

// What became of one reload.
struct ReloadOutcome {
  bool bApplied = false;        // the gateway now runs on what the files say
  std::string strWhy;           // not applied: why, as the run log says it
  bool bStatusChanged = false;  // applied, and STATUS.* differ from stRunningStatus
  size_t unModules = 0;         // applied: the pool's modules now
  size_t unJoined = 0;          // modules new to the pool (they are FREE)
  size_t unLeft = 0;            // modules taken out at once (they served nobody)
  size_t unLeaving = 0;         // modules taken out once the reader they serve has gone
};

// Reads the three INI files of the running gateway again (SIGHUP), on the main thread, without
// dropping a reader or a card record:
// - The files are checked first as `cardgate --check` checks them, and read whole before
//   anything changes. An error, a file that is missing or does not read, or account changes that
//   cannot be written to UserList.ini first, leave everything as it runs, with a run-log line
//   saying why.
// - The settings record (log server, keys, administrator), the log server's TLS and answer
//   time-out, the session limits, SECURITY.* and DEVICE.ALLOW, and the accounts take effect at
//   once; records already queued go to the log server the files now name.
// - A module new to SamvList.ini joins the pool; one no longer in it leaves at once when it
//   serves nobody, or once its reader has gone. A module is its address, port and management
//   port: one whose address changed leaves and another joins.
// - SPOOL.* keep what the start gave them (a run-log line says so when the files differ); the
//   status listener's settings are compared with stRunningStatus for the caller, who owns it.
ReloadOutcome ReloadConfiguration(DataSwitch& ds, const StatusSettings& stRunningStatus);

// The pool part of a reload: the pool becomes one module per entry of arrEntries (owned by the
// switch from now on; null entries are skipped as at start-up). Main thread.
void ApplyModuleList(DataSwitch& ds, std::vector<SamvServerEntry*> arrEntries,
                     ReloadOutcome* pOutcome);
