// The load side of scripts/bench: cardgate-bench-load relay|cards [options]. Prints markdown table
// rows (figure, direct, gateway, haproxy, gateway/direct, haproxy/direct); asserts nothing about
// the figures. Exit status 1 when something could not be measured at all, 2 on bad arguments.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "card_bench.h"
#include "relay_bench.h"

namespace {

void Usage(FILE* out) {
  std::fprintf(
      out,
      "usage: cardgate-bench-load relay --answer-port P [--gateway PORT:PID] [--haproxy PORT:PID]\n"
      "                                 [--status-port P] [--scrape-ms N]\n"
      "                                 [--setups N] [--burst N] [--burst-rounds N]\n"
      "                                 [--seconds S]\n"
      "       cardgate-bench-load cards --direct P[,P...] [--gateway P] [--haproxy P[,P...]]\n"
      "                                 [--readers N] [--modules N] [--seconds S]\n"
      "                                 [--account N] [--password PW]\n"
      "relay: a stand-in decode server of its own on P, reached directly, through the gateway\n"
      "       (every module of its SamvList.ini at 127.0.0.1:P) and through the proxy: round\n"
      "       trips of 1 and 8 readers, one reader's set-up (--setups times), --burst-rounds bursts of --burst\n"
      "       readers, and the gateway's and proxy's memory, threads and descriptors. With\n"
      "       --status-port (the gateway's status listener) the gateway's round trips once more\n"
      "       with GET /metrics every --scrape-ms (default 100) beside them.\n"
      "cards: card reads end to end with --readers readers against decode server simulators.\n");
}

bool ParseUnsigned(const std::string& strText, unsigned long unMax, unsigned long* pValue) {
  if (strText.empty() || strText[0] < '0' || strText[0] > '9') {
    return false;
  }
  errno = 0;
  char* pEnd = nullptr;
  const unsigned long unValue = std::strtoul(strText.c_str(), &pEnd, 10);
  if (errno != 0 || *pEnd != '\0' || unValue > unMax) {
    return false;
  }
  *pValue = unValue;
  return true;
}

bool ParsePort(const std::string& strText, uint16_t* pPort) {
  unsigned long unValue = 0;
  if (!ParseUnsigned(strText, 65535, &unValue) || unValue == 0) {
    return false;
  }
  *pPort = static_cast<uint16_t>(unValue);
  return true;
}

bool ParsePortList(const std::string& strText, std::vector<uint16_t>* parrPorts) {
  size_t unPos = 0;
  parrPorts->clear();
  while (unPos <= strText.size()) {
    const size_t unComma = strText.find(',', unPos);
    const std::string strPart =
        strText.substr(unPos, unComma == std::string::npos ? std::string::npos : unComma - unPos);
    uint16_t unPort = 0;
    if (!ParsePort(strPart, &unPort)) {
      return false;
    }
    parrPorts->push_back(unPort);
    if (unComma == std::string::npos) {
      break;
    }
    unPos = unComma + 1;
  }
  return !parrPorts->empty();
}

bool ParseTarget(const std::string& strText, RelayTarget* pTarget) {
  const size_t unColon = strText.find(':');
  unsigned long unPid = 0;
  if (unColon == std::string::npos || !ParsePort(strText.substr(0, unColon), &pTarget->unPort) ||
      !ParseUnsigned(strText.substr(unColon + 1), 0x7fffffff, &unPid) || unPid == 0) {
    return false;
  }
  pTarget->pid = static_cast<pid_t>(unPid);
  pTarget->bEnabled = true;
  return true;
}

bool ParseSeconds(const std::string& strText, double* pSeconds) {
  char* pEnd = nullptr;
  const double d = std::strtod(strText.c_str(), &pEnd);
  if (strText.empty() || *pEnd != '\0' || !(d > 0 && d <= 600)) {
    return false;
  }
  *pSeconds = d;
  return true;
}

int Bad(const std::string& strText) {
  std::fprintf(stderr, "cardgate-bench-load: %s (try --help)\n", strText.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    Usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  const std::string strMode = argv[1];
  if (strMode != "relay" && strMode != "cards") {
    return Bad("unknown mode '" + strMode + "'");
  }
  RelayBenchOptions relay;
  CardBenchOptions cards;
  bool bAnswerPort = false;
  for (int i = 2; i < argc; ++i) {
    const std::string strArg = argv[i];
    if (i + 1 >= argc) {
      return Bad(strArg + " wants a value");
    }
    const std::string strValue = argv[++i];
    unsigned long unValue = 0;
    bool bOk = true;
    if (strArg == "--answer-port" && strMode == "relay") {
      bOk = ParsePort(strValue, &relay.unAnswerPort);
      bAnswerPort = bOk;
    } else if (strArg == "--gateway" && strMode == "relay") {
      bOk = ParseTarget(strValue, &relay.gateway);
    } else if (strArg == "--haproxy" && strMode == "relay") {
      bOk = ParseTarget(strValue, &relay.haproxy);
    } else if (strArg == "--status-port" && strMode == "relay") {
      bOk = ParsePort(strValue, &relay.gateway.unStatusPort);
    } else if (strArg == "--scrape-ms" && strMode == "relay") {
      bOk = ParseUnsigned(strValue, 60000, &unValue) && unValue > 0;
      relay.unScrapeMs = static_cast<uint32_t>(unValue);
    } else if (strArg == "--setups" && strMode == "relay") {
      bOk = ParseUnsigned(strValue, 100000, &unValue) && unValue > 0;
      relay.unSetups = static_cast<uint32_t>(unValue);
    } else if (strArg == "--burst" && strMode == "relay") {
      bOk = ParseUnsigned(strValue, 1000, &unValue) && unValue > 0;
      relay.unBurst = static_cast<uint32_t>(unValue);
    } else if (strArg == "--burst-rounds" && strMode == "relay") {
      bOk = ParseUnsigned(strValue, 1000, &unValue) && unValue > 0;
      relay.unBurstRounds = static_cast<uint32_t>(unValue);
    } else if (strArg == "--seconds") {
      bOk = ParseSeconds(strValue, strMode == "relay" ? &relay.dRelaySeconds : &cards.dSeconds);
    } else if (strArg == "--direct" && strMode == "cards") {
      bOk = cards.direct.bEnabled = ParsePortList(strValue, &cards.direct.arrPorts);
    } else if (strArg == "--gateway" && strMode == "cards") {
      bOk = cards.gateway.bEnabled = ParsePortList(strValue, &cards.gateway.arrPorts);
    } else if (strArg == "--haproxy" && strMode == "cards") {
      bOk = cards.haproxy.bEnabled = ParsePortList(strValue, &cards.haproxy.arrPorts);
    } else if (strArg == "--readers" && strMode == "cards") {
      bOk = ParseUnsigned(strValue, 1000, &unValue) && unValue > 0;
      cards.unReaders = static_cast<uint32_t>(unValue);
    } else if (strArg == "--modules" && strMode == "cards") {
      bOk = ParseUnsigned(strValue, 1000, &unValue);
      cards.unModules = static_cast<uint32_t>(unValue);
    } else if (strArg == "--account" && strMode == "cards") {
      bOk = ParseUnsigned(strValue, 0xffffffffUL, &unValue);
      cards.unAccount = static_cast<uint32_t>(unValue);
    } else if (strArg == "--password" && strMode == "cards") {
      cards.strPassword = strValue;
    } else {
      return Bad("unknown option '" + strArg + "' for " + strMode);
    }
    if (!bOk) {
      return Bad("bad value '" + strValue + "' for " + strArg);
    }
  }
  if (strMode == "relay") {
    if (!bAnswerPort) {
      return Bad("relay needs --answer-port");
    }
    return RunRelayBench(relay);
  }
  if (!cards.direct.bEnabled && !cards.gateway.bEnabled) {
    return Bad("cards needs --direct or --gateway");
  }
  return RunCardBench(cards);
}
