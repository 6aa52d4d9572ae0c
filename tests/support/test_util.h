#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

// A fresh directory under /tmp, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // The directory with a trailing slash.
  const std::string& Path() const { return m_strPath; }
  std::string File(const std::string& strName) const { return m_strPath + strName; }
  void Write(const std::string& strName, const std::string& strText) const;
  std::string Read(const std::string& strName) const;

 private:
  std::string m_strPath;
};

// Polls fnDone every few milliseconds until it holds or the deadline passes; true if it held.
bool WaitFor(const std::function<bool()>& fnDone,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

std::string ReadFile(const std::string& strPath);

// Files directly in strDir whose names end in strSuffix (".rec"); 0 when the directory is missing.
size_t CountFiles(const std::string& strDir, const std::string& strSuffix);
void WriteFile(const std::string& strPath, const std::string& strText);

// How many times strNeedle occurs in strText (overlaps counted).
size_t CountOccurrences(const std::string& strText, const std::string& strNeedle);
