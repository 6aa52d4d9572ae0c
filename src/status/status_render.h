#pragma once

#include <string>

#include "status/gateway_status.h"

// The answers of the status listener, each made from one reading. Pure: no clock, no I/O, the
// same reading gives the same bytes. Text that came from configuration or from outside (module
// addresses, reader addresses, error texts) is escaped for the format it goes into.

// The Prometheus text exposition format, version 0.0.4: every family with HELP and TYPE, names
// prefixed "cardgate_", counters ending in "_total".
std::string RenderMetrics(const GatewayStatus& stStatus);

// The same facts as one JSON object (GET /status).
std::string RenderStatusJson(const GatewayStatus& stStatus);

// The body of GET /health: "ok\n" when HealthProblems is empty, else one reason a line.
std::string RenderHealth(const GatewayStatus& stStatus);

// The status page (GET /): one self-contained HTML document, no external script, font or style
// sheet, that reloads itself every few seconds and reads well on a phone and on a desktop.
std::string RenderStatusPage(const GatewayStatus& stStatus);
