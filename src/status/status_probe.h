#pragma once

#include "status/gateway_status.h"

class DataSwitch;

// One reading of the running gateway for the operator's window: the registry's counters and the
// live facts of the data switch (pool, sessions, lockouts, record store, upload outcomes). Takes
// each lock of the gateway for a moment, one at a time, and never waits on a peer; any thread.
// Leaves strVersion, strBuildTime, unMaxRecordAgeS and arrHistory for the caller to fill.
GatewayStatus ReadGatewayStatus(DataSwitch& ds);

// The gateway's version ("1.0.0") and build time ("YYYY-MM-DD HH:MM:SS UTC"), as the build
// gives them.
const char* GatewayVersion();
const char* GatewayBuildTime();
