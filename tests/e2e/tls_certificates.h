#pragma once

#include <string>
#include <vector>

#include "support/test_util.h"

// Throw-away certificates, made for each test with the openssl tool in a directory of their own:
// a CA (ca.crt), a second CA nobody trusts (other.crt), and an ECDSA P-256 server key
// (server.key) with certificates for 127.0.0.1 and logserver.test signed by the first CA
// (server.crt), for the name alone (noip.crt), and one that expired years ago (expired.crt).
// No private key outlives the test.
class TlsCertificates {
 public:
  TlsCertificates();
  bool Ready() const { return m_bReady; }
  std::string File(const char* szName) const { return m_dir.File(szName); }
  // Runs more openssl commands in the directory (san.ext names the server's address and name,
  // ca.ext makes a certificate a CA). False, with a test failure, at the first that fails.
  bool Make(const std::vector<std::string>& arrCommands);
  // The options of "openssl req" for a new ECDSA P-256 key without a passphrase.
  static const char kEcKey[];

 private:
  TempDir m_dir;
  bool m_bReady = false;
};
