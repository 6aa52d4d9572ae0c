#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device_sim.h"
#include "gateway_fixture.h"
#include "logserver_sim.h"
#include "samv_sim.h"

// The built gateway among simulated peers that fail, and the bookkeeping that tells whether a
// failing peer cost a card: every card read carries transaction data of its own, so a record at
// the log server names the read it came from.
//
// Deadlines are generous: the suite also runs the router build under an emulator, several times
// slower than the host. A test thread owns its rig.
// Entries of a /proc directory (a process's fd or task), without "." and "..". -1 when it cannot
// be read.
int CountProcEntries(const std::string& strDir);
// What each open descriptor in a process's fd directory refers to, one per line, for a failure
// message.
std::string DescribeProcDescriptors(const std::string& strFdDir);
// Waits until the process under strProc (/proc/<pid>) has at most nFds descriptors and nThreads
// threads. False on the deadline, with *pstrWhy telling the counts against the reference (named
// szReference, "at start-up" say) and the descriptors open.
bool WaitForProcCountsAtMost(const std::string& strProc, int nFds, int nThreads,
                             const char* szReference, std::chrono::milliseconds timeout,
                             std::string* pstrWhy);

class FaultRig {
 public:
  static constexpr uint16_t kGatewayPort = 31213;
  static constexpr char kSecretKey[] = "0123456789abcdef";
  static constexpr std::chrono::seconds kDeviceTimeout{20};
  // Uploads run one record per main-loop pass, about 2 s per attempt while the server is away.
  static constexpr std::chrono::seconds kUploadDeadline{120};

  GatewayRun& Gateway() { return m_gateway; }
  std::string Output() { return m_gateway.Process().Output(); }

  // A SAMV server simulator on a port of its own (or unPort), answering card reads with text.
  static std::unique_ptr<CSamvSim> StartSamv(SamvSimMode eMode, uint32_t unCloseAfterFrames = 0,
                                             uint16_t unPort = 0);
  // A log server simulator with the gateway's key, bound; listening when bStart.
  static std::unique_ptr<CLogServerSim> MakeLogServer(
      bool bStart = true, uint16_t unPort = 0, LogServerSimMode eMode = LogServerSimMode::Normal);

  // Starts the gateway with the modules and the log server; false when it did not come up.
  // strMoreSettings is appended to SystemConfig.ini (further sections).
  bool Start(const std::vector<GatewayRun::Module>& arrModules, uint16_t unLogServerPort,
             const std::string& strMoreSettings = std::string());

  bool Connect(CDeviceSimClient& device);
  // Writes account unAccountNo with szPassword (type 0) through command 82 as the administrator,
  // on a connection of its own. Closed when the connection could not be made.
  ReadStatus WriteAccount(uint32_t unAccountNo, const char* szPassword, DeviceReply* pReply);
  // The next card read of the test: account 1001, transaction data {"order":"F-<n>"}.
  LoginRequest NextLogin();
  // Reads one card on an open device. True when the 288-byte answer came; the read then counts
  // as delivered (the gateway captures what it relayed).
  bool ReadCard(CDeviceSimClient& device);
  // A device read's answer came by other means (a device that read the answer itself).
  void Delivered(const LoginRequest& request) { m_arrDelivered.push_back(request.strTransData); }
  // A device that connects now reads a card: the gateway still serves.
  void ExpectFreshDeviceReadsCard();

  // Card answers that the gateway's run log reports as captured.
  size_t CapturedCards();
  // Every card that a device received, and at least as many distinct cards as the gateway
  // captured, reach one of the log servers (each at least once, valid); then ExpectGatewaySound.
  void ExpectEveryCardUploaded(const std::vector<const CLogServerSim*>& arrServers);
  // The gateway still runs, and its standard error reports no sanitizer finding.
  void ExpectGatewaySound();
  // Waits until the run log holds strText at least unCount times.
  bool WaitForLogCount(const std::string& strText, size_t unCount,
                       std::chrono::milliseconds timeout = kUploadDeadline);

 private:
  GatewayRun m_gateway;
  uint32_t m_unNextRead = 0;
  std::vector<std::string> m_arrDelivered;  // transaction data of the reads devices received
};
