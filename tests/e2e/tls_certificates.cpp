#include "tls_certificates.h"

#include <cstdlib>

#include <gtest/gtest.h>

const char TlsCertificates::kEcKey[] = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";

TlsCertificates::TlsCertificates() {
  const std::string strKey = kEcKey;
  m_dir.Write("san.ext", "subjectAltName=IP:127.0.0.1,DNS:logserver.test\n");
  m_dir.Write("noip.ext", "subjectAltName=DNS:logserver.test\n");
  m_dir.Write("ca.ext",
              "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n");
  m_bReady = Make({
      "openssl req -x509 " + strKey + " -keyout ca.key -out ca.crt -days 3 -subj '/CN=Test CA'",
      "openssl req -x509 " + strKey +
          " -keyout other.key -out other.crt -days 3 -subj '/CN=Other CA'",
      "openssl req " + strKey + " -keyout server.key -out server.csr -subj '/CN=logserver'",
      "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 3 "
      "-extfile san.ext -out server.crt",
      "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 3 "
      "-extfile noip.ext -out noip.crt",
      "faketime '2020-01-01 00:00:00' openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key "
      "-CAcreateserial -days 2 -extfile san.ext -out expired.crt",
  });
}

bool TlsCertificates::Make(const std::vector<std::string>& arrCommands) {
  for (const std::string& strCommand : arrCommands) {
    const std::string strLine = "cd '" + m_dir.Path() + "' && (" + strCommand + ") >/dev/null 2>&1";
    if (std::system(strLine.c_str()) != 0) {
      ADD_FAILURE() << "could not make the test certificates: " << strCommand;
      return false;
    }
  }
  return true;
}
