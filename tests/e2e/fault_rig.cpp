#include "fault_rig.h"

#include <dirent.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include <gtest/gtest.h>

#include "config/byte_io.h"

namespace {

// The run log's words for a captured card answer (a 1313-byte first part alone is no record yet).
const char* const kCaptureLines[] = {"[Only Text]", "[Text Image]",
                                     "[Text Image Fingerprint Part2]", "[Not Exist Part2]"};

}  // namespace

int CountProcEntries(const std::string& strDir) {
  DIR* pDir = opendir(strDir.c_str());
  if (pDir == nullptr) {
    return -1;
  }
  int nCount = 0;
  while (dirent* pEntry = readdir(pDir)) {
    if (pEntry->d_name[0] != '.') {
      ++nCount;
    }
  }
  closedir(pDir);
  return nCount;
}

std::string DescribeProcDescriptors(const std::string& strFdDir) {
  std::string strOut;
  DIR* pDir = opendir(strFdDir.c_str());
  if (pDir == nullptr) {
    return strOut;
  }
  while (dirent* pEntry = readdir(pDir)) {
    if (pEntry->d_name[0] == '.') {
      continue;
    }
    char szTarget[256] = {0};
    std::string strPath = strFdDir + "/" + pEntry->d_name;
    ssize_t n = readlink(strPath.c_str(), szTarget, sizeof(szTarget) - 1);
    strOut += std::string(pEntry->d_name) + " -> " + (n > 0 ? szTarget : "?") + "\n";
  }
  closedir(pDir);
  return strOut;
}

bool WaitForProcCountsAtMost(const std::string& strProc, int nFds, int nThreads,
                             const char* szReference, std::chrono::milliseconds timeout,
                             std::string* pstrWhy) {
  int nFdsNow = -1;
  int nThreadsNow = -1;
  const bool bBack = WaitFor(
      [&] {
        nFdsNow = CountProcEntries(strProc + "/fd");
        nThreadsNow = CountProcEntries(strProc + "/task");
        return nFdsNow <= nFds && nThreadsNow <= nThreads;
      },
      timeout);
  if (!bBack) {
    *pstrWhy = "descriptors " + std::to_string(nFdsNow) + " (" + szReference + " " +
               std::to_string(nFds) + "), threads " + std::to_string(nThreadsNow) + " (" +
               szReference + " " + std::to_string(nThreads) + ")\n" +
               DescribeProcDescriptors(strProc + "/fd");
  }
  return bBack;
}

constexpr uint16_t FaultRig::kGatewayPort;
constexpr char FaultRig::kSecretKey[];
constexpr std::chrono::seconds FaultRig::kDeviceTimeout;
constexpr std::chrono::seconds FaultRig::kUploadDeadline;

std::unique_ptr<CSamvSim> FaultRig::StartSamv(SamvSimMode eMode, uint32_t unCloseAfterFrames,
                                              uint16_t unPort) {
  SamvSimOptions options;
  options.eMode = eMode;
  options.eCardKind = SamvCardKind::Text;
  options.unCloseAfterFrames = unCloseAfterFrames;
  options.unPort = unPort;
  return std::unique_ptr<CSamvSim>(new CSamvSim(options));
}

std::unique_ptr<CLogServerSim> FaultRig::MakeLogServer(bool bStart, uint16_t unPort,
                                                       LogServerSimMode eMode) {
  LogServerSimOptions options;
  options.strSecretKey = kSecretKey;
  options.unPort = unPort;
  options.mode = eMode;
  std::unique_ptr<CLogServerSim> upServer(new CLogServerSim(options));
  if (bStart) {
    upServer->Start();
  }
  return upServer;
}

bool FaultRig::Start(const std::vector<GatewayRun::Module>& arrModules, uint16_t unLogServerPort,
                     const std::string& strMoreSettings) {
  m_gateway.SetModules(arrModules);
  m_gateway.SetLogServer(unLogServerPort, kSecretKey);
  if (!strMoreSettings.empty()) {
    m_gateway.Dir().Write("SystemConfig.ini",
                          m_gateway.Dir().Read("SystemConfig.ini") + strMoreSettings);
  }
  return m_gateway.Start();
}

bool FaultRig::Connect(CDeviceSimClient& device) {
  return device.Connect("127.0.0.1", kGatewayPort, kDeviceTimeout);
}

ReadStatus FaultRig::WriteAccount(uint32_t unAccountNo, const char* szPassword,
                                  DeviceReply* pReply) {
  CDeviceSimClient admin;
  if (!Connect(admin)) {
    return ReadStatus::Closed;
  }
  UserStruct user;
  std::memset(&user, 0, sizeof(user));
  user.unAccountNo = unAccountNo;
  CopyText(user.szPassword, sizeof(user.szPassword), szPassword);
  return admin.WriteUser(MakeAdminRecord("admin", "adminpw"), user, pReply, kDeviceTimeout);
}

LoginRequest FaultRig::NextLogin() {
  LoginRequest request;
  request.byCommand = 1;
  request.unAccountNo = 1001;
  request.strPassword = "pass1001";
  request.strUserInfo = "operator-9";
  request.strDeviceId = "READER-F";
  request.strTransData = "{\"order\":\"F-" + std::to_string(++m_unNextRead) + "\"}";
  return request;
}

bool FaultRig::ReadCard(CDeviceSimClient& device) {
  LoginRequest request = NextLogin();
  CardReadResult result;
  ReadStatus eStatus = device.ReadCard(request, &result, kDeviceTimeout);
  if (eStatus != ReadStatus::Ok || result.bRefused ||
      result.arrAnswer.size() != kCardTextAnswerSize) {
    ADD_FAILURE() << "card read " << request.strTransData << ": " << DescribeReadStatus(eStatus)
                  << (result.bRefused ? ", refused by the gateway" : "") << ", "
                  << result.arrAnswer.size() << " bytes";
    return false;
  }
  Delivered(request);
  return true;
}

void FaultRig::ExpectFreshDeviceReadsCard() {
  CDeviceSimClient device;
  ASSERT_TRUE(Connect(device));
  EXPECT_TRUE(ReadCard(device)) << Output();
}

size_t FaultRig::CapturedCards() {
  size_t unCount = 0;
  for (const char* szLine : kCaptureLines) {
    unCount += m_gateway.CountLog(szLine);
  }
  return unCount;
}

void FaultRig::ExpectEveryCardUploaded(const std::vector<const CLogServerSim*>& arrServers) {
  // The gateway logs a capture right after the relay, so a device may hold its answer a moment
  // before the line is there.
  ASSERT_TRUE(WaitFor([&] { return CapturedCards() >= m_arrDelivered.size(); }, kDeviceTimeout))
      << Output();
  const size_t unCaptured = CapturedCards();
  ASSERT_GT(unCaptured, 0u);
  auto received = [&] {
    std::set<std::string> setReads;
    for (const CLogServerSim* pServer : arrServers) {
      for (const LogServerDocument& doc : pServer->Documents()) {
        if (doc.bValid) {
          setReads.insert(doc.strTransData);
        }
      }
    }
    return setReads;
  };
  auto allThere = [&] {
    std::set<std::string> setReads = received();
    if (setReads.size() < unCaptured) {
      return false;
    }
    for (const std::string& strRead : m_arrDelivered) {
      if (setReads.count(strRead) == 0) {
        return false;
      }
    }
    return true;
  };
  if (!WaitFor(allThere, kUploadDeadline)) {
    std::string strReceived;
    for (const std::string& strRead : received()) {
      strReceived += strRead + " ";
    }
    ADD_FAILURE() << unCaptured << " cards captured, " << m_arrDelivered.size()
                  << " delivered to devices; the log servers have: " << strReceived << "\n"
                  << Output();
  }
  ExpectGatewaySound();
}

void FaultRig::ExpectGatewaySound() {
  int nStatus = 0;
  EXPECT_FALSE(m_gateway.Process().Wait(std::chrono::milliseconds(0), &nStatus))
      << "the gateway ended with status " << nStatus << "\n"
      << m_gateway.Process().Errors();
  const std::string strErrors = m_gateway.Process().Errors();
  EXPECT_EQ(strErrors.find("Sanitizer"), std::string::npos) << strErrors;
  EXPECT_EQ(strErrors.find("runtime error"), std::string::npos) << strErrors;
}

bool FaultRig::WaitForLogCount(const std::string& strText, size_t unCount,
                               std::chrono::milliseconds timeout) {
  return WaitFor([&] { return m_gateway.CountLog(strText) >= unCount; }, timeout);
}
