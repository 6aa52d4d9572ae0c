// The upload against Debian's nginx (built on OpenSSL) as the log server's face: nginx
// terminates TLS (or plain HTTP), keeps or closes the gateway's connections as configured, and
// passes each request to the log server simulator behind it, which opens and counts the records.
// nginx's access log tells which connection carried each request, with which protocol, and
// whether its TLS session was resumed.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fault_rig.h"
#include "net/net_test_util.h"
#include "support/http_exchange.h"
#include "support/process.h"
#include "support/test_util.h"
#include "tls_certificates.h"

namespace {

constexpr char kNginx[] = "/usr/sbin/nginx";

// Whether nginx cannot be run here. Under CI (CI=true) that fails the test: scripts/test
// installs it.
bool NginxMissing() {
  if (::access(kNginx, X_OK) == 0) {
    return false;
  }
  const char* szCi = std::getenv("CI");
  if (szCi != nullptr && std::strcmp(szCi, "true") == 0) {
    ADD_FAILURE() << kNginx << " (Debian package nginx) is not installed; scripts/test installs it";
  }
  return true;
}

// How nginx serves the gateway.
struct NginxSite {
  const char* szProtocols = nullptr;  // ssl_protocols ("TLSv1.3"); nullptr: plain HTTP
  const char* szCert = nullptr;       // certificate (chain) and key, files of the certificates
  const char* szKey = nullptr;
  const char* szServerLines = "";  // more directives of the server block
};

// One request as nginx's access log has it.
struct NginxRequest {
  std::string strConnection;  // nginx's serial number of the connection
  std::string strProtocol;    // "TLSv1.3", "TLSv1.2", "-" for plain HTTP
  bool bResumed = false;      // the TLS session was resumed (a ticket)
  int nStatus = 0;
};

// nginx in one process (no master, no daemon) with its configuration, logs, pid and temporary
// files in a directory of its own, on a free loopback port, in front of the log server
// simulator. Killed when the object goes.
class NginxServer {
 public:
  NginxServer(const NginxSite& site, const TlsCertificates& certs, uint16_t unUpstreamPort)
      : m_unPort(FreeLoopbackPort()) {
    const std::string strDir = m_dir.Path();
    std::string strTls;
    if (site.szProtocols != nullptr) {
      strTls = "    ssl_certificate " + certs.File(site.szCert) + ";\n    ssl_certificate_key " +
               certs.File(site.szKey) + ";\n    ssl_protocols " + site.szProtocols + ";\n";
    }
    m_dir.Write(
        "nginx.conf",
        "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + strDir +
            "nginx.pid;\nerror_log " + strDir +
            "error.log info;\n"
            "events { worker_connections 64; }\n"
            "http {\n"
            "  client_body_temp_path " +
            strDir + "body;\n  proxy_temp_path " + strDir + "proxy;\n  fastcgi_temp_path " +
            strDir + "fastcgi;\n  uwsgi_temp_path " + strDir + "uwsgi;\n  scgi_temp_path " +
            strDir +
            "scgi;\n"
            "  log_format records '$connection $ssl_protocol $ssl_session_reused $status';\n"
            "  upstream logserver { server 127.0.0.1:" +
            std::to_string(unUpstreamPort) +
            "; keepalive 4; }\n"
            "  server {\n    listen 127.0.0.1:" +
            std::to_string(m_unPort) + (site.szProtocols != nullptr ? " ssl" : "") + ";\n" +
            strTls + "    access_log " + strDir + "access.log records;\n    " + site.szServerLines +
            "\n    location / {\n      proxy_pass http://logserver;\n"
            "      proxy_http_version 1.1;\n      proxy_set_header Connection \"\";\n"
            "      proxy_set_header Host $http_host;\n    }\n  }\n}\n");
  }

  // Starts nginx and waits until it listens. False, with a test failure, when it does not.
  bool Start() {
    // The machine's nginx, never through the router build's emulator.
    m_upProcess.reset(new ChildProcess(
        kNginx, {"-p", m_dir.Path(), "-c", m_dir.File("nginx.conf"), "-e", m_dir.File("error.log")},
        std::string(), {}, ChildProcess::Program::OfTheMachine));
    if (!WaitFor([&] { return nettest::CountTcpEnds(m_unPort, 10) == 1; }, std::chrono::seconds(10))) {
      ADD_FAILURE() << "nginx does not listen on " << m_unPort << ": " << ErrorLog()
                    << m_upProcess->Errors();
      return false;
    }
    return true;
  }
  uint16_t Port() const { return m_unPort; }
  std::string ErrorLog() const { return ReadFile(m_dir.File("error.log")); }
  std::string AccessLog() const { return ReadFile(m_dir.File("access.log")); }
  std::vector<NginxRequest> Requests() const {
    std::vector<NginxRequest> arr;
    std::istringstream log(AccessLog());
    std::string strLine;
    while (std::getline(log, strLine)) {
      std::istringstream line(strLine);
      NginxRequest request;
      std::string strReused;
      line >> request.strConnection >> request.strProtocol >> strReused >> request.nStatus;
      request.bResumed = strReused == "r";
      arr.push_back(request);
    }
    return arr;
  }
  // Whether a connection of a client to nginx is still open at nginx's end.
  bool HoldsConnection() const { return nettest::CountTcpEnds(m_unPort, 1) > 0; }

 private:
  TempDir m_dir;
  uint16_t m_unPort;
  std::unique_ptr<ChildProcess> m_upProcess;
};

}  // namespace

TEST(NginxTest, CardRecordsAreDeliveredOnceOverEachKindOfServer) {
  if (NginxMissing()) {
    GTEST_SKIP() << kNginx << " (Debian package nginx) is not installed";
  }
  TlsCertificates certs;
  ASSERT_TRUE(certs.Ready());
  // An RSA server certificate, and a chain through an intermediate CA that nginx sends with the
  // leaf; the gateway trusts the root (ca.crt) alone.
  ASSERT_TRUE(certs.Make({
      "openssl req -newkey rsa:2048 -nodes -keyout rsa.key -out rsa.csr -subj '/CN=logserver'",
      "openssl x509 -req -in rsa.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 3 "
      "-extfile san.ext -out rsa.crt",
      std::string("openssl req ") + TlsCertificates::kEcKey +
          " -keyout inter.key -out inter.csr -subj '/CN=Test Intermediate CA'",
      "openssl x509 -req -in inter.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 3 "
      "-extfile ca.ext -out inter.crt",
      "openssl x509 -req -in server.csr -CA inter.crt -CAkey inter.key -CAcreateserial -days 3 "
      "-extfile san.ext -out leaf.crt",
      "cat leaf.crt inter.crt > chain.crt",
  }));
  constexpr size_t kReads = 4;
  // Connections kept (nginx's default: 75 s, 1000 requests); closed after every answer
  // (keepalive_timeout 0); "Connection: close" on every second answer (keepalive_requests 2);
  // kept, then closed while idle (keepalive_timeout 1s). nginx says "Connection: close" in every
  // answer after which it closes; an idle connection it closes without a word.
  struct Row {
    const char* szName;
    NginxSite site;
    const char* szServerName;  // the gateway's SERVER_NAME: empty checks the address
    bool bIdleClose;           // before each read, nginx has closed the idle kept connection
    size_t unConnections;      // that carried the kReads records
  } const rows[] = {
      {"TLS 1.3, ECDSA, kept", {"TLSv1.3", "server.crt", "server.key"}, "logserver.test", false, 1},
      {"TLS 1.2, RSA, kept", {"TLSv1.2", "rsa.crt", "rsa.key"}, "", false, 1},
      {"TLS 1.3, intermediate CA, closed after every answer",
       {"TLSv1.3", "chain.crt", "server.key", "keepalive_timeout 0;"},
       "logserver.test",
       false,
       kReads},
      {"TLS 1.2, intermediate CA, Connection: close",
       {"TLSv1.2", "chain.crt", "server.key", "keepalive_requests 2;"},
       "",
       false,
       kReads / 2},
      {"TLS 1.3, ECDSA, closed while idle",
       {"TLSv1.3", "server.crt", "server.key", "keepalive_timeout 1s;"},
       "logserver.test",
       true,
       kReads},
      {"plain, kept", {}, "", false, 1},
      {"plain, closed after every answer",
       {nullptr, nullptr, nullptr, "keepalive_timeout 0;"},
       "",
       false,
       kReads},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.szName);
    std::unique_ptr<CSamvSim> upSamv = FaultRig::StartSamv(SamvSimMode::Card);
    std::unique_ptr<CLogServerSim> upLog = FaultRig::MakeLogServer();
    NginxServer nginx(row.site, certs, upLog->Port());
    ASSERT_TRUE(nginx.Start());
    FaultRig rig;
    const bool bTls = row.site.szProtocols != nullptr;
    if (bTls) {
      rig.Gateway().SetExtraSystemConfig("TLS=1\nCA_FILE=" + certs.File("ca.crt") +
                                         "\nSERVER_NAME=" + row.szServerName + "\n");
    }
    ASSERT_TRUE(rig.Start({{upSamv->Port(), 0}}, nginx.Port()));
    CDeviceSimClient device;
    ASSERT_TRUE(rig.Connect(device));
    for (size_t i = 0; i < kReads; ++i) {
      if (row.bIdleClose && i > 0) {
        ASSERT_TRUE(
            WaitFor([&] { return upLog->ValidDocuments() == i; }, FaultRig::kUploadDeadline))
            << rig.Output();
        ASSERT_TRUE(WaitFor([&] { return !nginx.HoldsConnection(); }, std::chrono::seconds(10)));
      }
      ASSERT_TRUE(rig.ReadCard(device)) << rig.Output();
    }
    rig.ExpectEveryCardUploaded({upLog.get()});
    EXPECT_EQ(upLog->ValidDocuments(), kReads);
    EXPECT_EQ(upLog->Requests(), kReads);
    EXPECT_EQ(upLog->MaxReceiveCount(), 1u) << upLog->DuplicateReport();
    EXPECT_EQ(rig.Gateway().CountLog(" False"), 0u) << rig.Output();

    // nginx logs a request once its answer has gone.
    ASSERT_TRUE(WaitFor([&] { return nginx.Requests().size() == kReads; }))
        << nginx.AccessLog() << nginx.ErrorLog();
    std::set<std::string> setConnections;
    size_t unResumed = 0;
    for (const NginxRequest& request : nginx.Requests()) {
      EXPECT_EQ(request.nStatus, 200);
      EXPECT_EQ(request.strProtocol, bTls ? row.site.szProtocols : "-");
      if (setConnections.insert(request.strConnection).second && request.bResumed) {
        ++unResumed;
      }
    }
    EXPECT_EQ(setConnections.size(), row.unConnections) << nginx.AccessLog();
    // A fresh connection resumes the session of the one before.
    EXPECT_EQ(unResumed, bTls ? row.unConnections - 1 : 0u) << nginx.AccessLog();
  }
}
