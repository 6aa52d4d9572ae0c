// The upload over TLS with the built gateway and the log simulator's HTTPS face: a record is
// delivered over a verified connection, and a server the gateway cannot trust keeps the record
// queued with the reason in the run log until the settings are right.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "decodelog/log_server_link.h"
#include "fault_rig.h"
#include "tls_certificates.h"
#include "support/test_util.h"

namespace {

using std::chrono::seconds;

std::unique_ptr<CLogServerSim> StartHttpsServer(const TlsCertificates& certs, const char* szCert,
                                                uint16_t unPort = 0) {
  LogServerSimOptions options;
  options.strSecretKey = FaultRig::kSecretKey;
  options.unPort = unPort;
  options.strTlsCert = certs.File(szCert);
  options.strTlsKey = certs.File("server.key");
  std::unique_ptr<CLogServerSim> upServer(new CLogServerSim(options));
  upServer->Start();
  return upServer;
}

std::string TlsSettings(const std::string& strCaFile, const std::string& strServerName) {
  return "TLS=1\nCA_FILE=" + strCaFile + "\nSERVER_NAME=" + strServerName + "\n";
}

void ReadOneCard(FaultRig& rig) {
  CDeviceSimClient device;
  ASSERT_TRUE(rig.Connect(device));
  ASSERT_TRUE(rig.ReadCard(device)) << rig.Output();
}

}  // namespace

TEST(TlsTest, RecordIsDeliveredOverVerifiedTls) {
  TlsCertificates certs;
  ASSERT_TRUE(certs.Ready());
  // Both ways of naming the server: its IP address (checked against the certificate's IP
  // addresses) and a host name (sent in SNI and checked against its names).
  for (const char* szName : {"", "logserver.test"}) {
    SCOPED_TRACE(szName);
    std::unique_ptr<CSamvSim> upSamv = FaultRig::StartSamv(SamvSimMode::Card);
    std::unique_ptr<CLogServerSim> upLog = StartHttpsServer(certs, "server.crt");
    FaultRig rig;
    rig.Gateway().SetExtraSystemConfig(TlsSettings(certs.File("ca.crt"), szName));
    ASSERT_TRUE(rig.Start({{upSamv->Port(), 0}}, upLog->Port()));
    ReadOneCard(rig);
    rig.ExpectEveryCardUploaded({upLog.get()});
    EXPECT_EQ(rig.Gateway().CountLog("TLS False"), 0u) << rig.Output();
    LogServerDocument doc = upLog->Documents().front();
    EXPECT_TRUE(doc.bValid) << doc.strError;
    EXPECT_EQ(doc.mapCard["deviceId"], "READER-F");
  }
}

TEST(TlsTest, UntrustedServerKeepsTheRecordUntilTheSettingsAreRight) {
  TlsCertificates certs;
  ASSERT_TRUE(certs.Ready());
  struct Row {
    const char* szName;
    const char* szCaFile;      // what the gateway trusts
    const char* szServerName;  // what it expects
    const char* szServed;      // what the server shows
    const char* szReason;      // in the run log
  } const rows[] = {
      {"unknown CA", "other.crt", "", "server.crt", "not correctly signed by the trusted CA"},
      {"wrong name", "ca.crt", "wrong.test", "server.crt", "does not match with the expected CN"},
      {"expired", "ca.crt", "", "expired.crt", "validity has expired"},
      {"address not named", "ca.crt", "", "noip.crt",
       "The certificate does not name the IP address 127.0.0.1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.szName);
    std::unique_ptr<CSamvSim> upSamv = FaultRig::StartSamv(SamvSimMode::Card);
    std::unique_ptr<CLogServerSim> upLog = StartHttpsServer(certs, row.szServed);
    const uint16_t unLogPort = upLog->Port();
    FaultRig rig;
    rig.Gateway().SetExtraSystemConfig(TlsSettings(certs.File(row.szCaFile), row.szServerName));
    ASSERT_TRUE(rig.Start({{upSamv->Port(), 0}}, unLogPort));
    ReadOneCard(rig);
    ASSERT_TRUE(rig.Gateway().WaitForLog(std::string("TLS False: ")))
        << rig.Output();
    EXPECT_TRUE(rig.Gateway().WaitForLog(row.szReason)) << rig.Output();
    EXPECT_EQ(upLog->Requests(), 0u);
    EXPECT_EQ(CountFiles(rig.Gateway().Dir().File("spool"), ".rec"), 1u);

    // Put right: the server shows its valid certificate, the gateway trusts the right CA under
    // the right name (a restart takes the settings; the record waits in the spool).
    upLog.reset();
    upLog = StartHttpsServer(certs, "server.crt", unLogPort);
    rig.Gateway().Process().Signal(SIGTERM);
    int nStatus = -1;
    ASSERT_TRUE(rig.Gateway().Process().Wait(seconds(10), &nStatus));
    rig.Gateway().SetExtraSystemConfig(TlsSettings(certs.File("ca.crt"), ""));
    rig.Gateway().SetLogServer(unLogPort, FaultRig::kSecretKey);
    ASSERT_TRUE(rig.Gateway().Start());
    ASSERT_TRUE(WaitFor([&] { return upLog->ValidDocuments() == 1; }, FaultRig::kUploadDeadline))
        << rig.Output();
    EXPECT_EQ(upLog->Documents().front().strTransData, "{\"order\":\"F-1\"}");
  }
}

TEST(TlsTest, UnreadableCaFileIsReportedAndReadersAreStillServed) {
  std::unique_ptr<CSamvSim> upSamv = FaultRig::StartSamv(SamvSimMode::Card);
  std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer();
  FaultRig rig;
  rig.Gateway().SetExtraSystemConfig(TlsSettings("/nonexistent/ca.pem", ""));
  ASSERT_TRUE(rig.Start({{upSamv->Port(), 0}}, upLog->Port()));
  EXPECT_TRUE(rig.Gateway().WaitForLog("TLS cannot be used: CA file /nonexistent/ca.pem"))
      << rig.Output();
  ReadOneCard(rig);
  EXPECT_TRUE(rig.Gateway().WaitForLog("TLS False: CA file /nonexistent/ca.pem")) << rig.Output();
  EXPECT_EQ(upLog->Requests(), 0u);
  rig.ExpectGatewaySound();
}

TEST(TlsTest, StopEndsAHandshakeWithAServerThatSaysNothing) {
  TlsCertificates certs;
  ASSERT_TRUE(certs.Ready());
  // A listener that never accepts: the kernel completes the TCP handshake, nobody speaks TLS.
  const int nListen = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(nListen, 0);
  struct sockaddr_in sa;
  std::memset(&sa, 0, sizeof(sa));
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(sa);
  ASSERT_EQ(::bind(nListen, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
  ASSERT_EQ(::listen(nListen, 4), 0);
  ASSERT_EQ(::getsockname(nListen, reinterpret_cast<sockaddr*>(&sa), &len), 0);

  CLogServerLink link;
  LogServerTlsSettings tls;
  tls.bTls = true;
  tls.strCaFile = certs.File("ca.crt");
  std::string strError;
  ASSERT_TRUE(link.Configure("127.0.0.1", ntohs(sa.sin_port), tls, &strError)) << strError;
  std::atomic<bool> bStop{false};
  std::atomic<bool> bDone{false};
  CLogServerLink::ConnectResult eResult = CLogServerLink::ConnectResult::Ok;
  std::string strWhy;
  const auto tmStart = std::chrono::steady_clock::now();
  std::thread thrConnect([&] {
    eResult = link.Connect(std::chrono::seconds(30), bStop, &strWhy);
    bDone = true;
  });
  // The handshake is under way (or about to be) when the stop comes: the connection waits in
  // the listener's queue, which makes the listener readable.
  struct pollfd pfd = {nListen, POLLIN, 0};
  EXPECT_EQ(::poll(&pfd, 1, 20000), 1) << "the link never connected";
  EXPECT_FALSE(bDone.load());
  bStop = true;
  link.Abort();
  EXPECT_TRUE(WaitFor([&] { return bDone.load(); }, std::chrono::seconds(10)));
  thrConnect.join();
  EXPECT_NE(eResult, CLogServerLink::ConnectResult::Ok);
  EXPECT_LT(std::chrono::steady_clock::now() - tmStart, std::chrono::seconds(5));
  ::close(nListen);
}

TEST(TlsTest, FreshConnectionResumesTheSessionTheServerOffered) {
  TlsCertificates certs;
  ASSERT_TRUE(certs.Ready());
  std::unique_ptr<CLogServerSim> upLog = StartHttpsServer(certs, "server.crt");
  CLogServerLink link;
  LogServerTlsSettings tls;
  tls.bTls = true;
  tls.strCaFile = certs.File("ca.crt");
  tls.strServerName = "logserver.test";
  std::string strError;
  ASSERT_TRUE(link.Configure("127.0.0.1", upLog->Port(), tls, &strError)) << strError;
  std::atomic<bool> bStop{false};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    std::string strWhy;
    ASSERT_EQ(link.Connect(std::chrono::seconds(5), bStop, &strWhy),
              CLogServerLink::ConnectResult::Ok)
        << strWhy;
    // A request the server refuses, then reading to its close: the session ticket comes in on
    // the way.
    const std::string strRequest = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(link.Write(reinterpret_cast<const uint8_t*>(strRequest.data()), strRequest.size(),
                         std::chrono::seconds(5)),
              strRequest.size());
    uint8_t arrBuffer[512];
    const auto tmEnd = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (link.Read(arrBuffer, sizeof(arrBuffer), std::chrono::milliseconds(200)) != 0 &&
           std::chrono::steady_clock::now() < tmEnd) {
    }
    link.Close();
  }
  EXPECT_EQ(link.Handshakes(), 3u);
  EXPECT_EQ(link.FullHandshakes(), 1u) << "the later connections resume the first session";
  EXPECT_EQ(link.Connections(), 3u);
}
