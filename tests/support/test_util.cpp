#include "support/test_util.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <boost/filesystem/operations.hpp>

TempDir::TempDir() {
  std::string strTemplate = "/tmp/cardgate-test-XXXXXX";
  std::vector<char> buf(strTemplate.begin(), strTemplate.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  m_strPath = std::string(buf.data()) + "/";
}

TempDir::~TempDir() {
  boost::system::error_code ec;
  boost::filesystem::remove_all(m_strPath, ec);
}

void TempDir::Write(const std::string& strName, const std::string& strText) const {
  WriteFile(File(strName), strText);
}

std::string TempDir::Read(const std::string& strName) const { return ReadFile(File(strName)); }

bool WaitFor(const std::function<bool()>& fnDone, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!fnDone()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return fnDone();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string ReadFile(const std::string& strPath) {
  std::ifstream in(strPath, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& strPath, const std::string& strText) {
  std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
  out << strText;
}

size_t CountFiles(const std::string& strDir, const std::string& strSuffix) {
  boost::system::error_code ec;
  size_t unCount = 0;
  for (boost::filesystem::directory_iterator it(strDir, ec), end; !ec && it != end;
       it.increment(ec)) {
    unCount += it->path().extension() == strSuffix ? 1 : 0;
  }
  return unCount;
}

size_t CountOccurrences(const std::string& strText, const std::string& strNeedle) {
  size_t n = 0;
  for (size_t pos = strText.find(strNeedle); pos != std::string::npos;
       pos = strText.find(strNeedle, pos + 1)) {
    ++n;
  }
  return n;
}
