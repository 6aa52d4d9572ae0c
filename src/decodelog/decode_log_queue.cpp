#include "decodelog/decode_log_queue.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "config/directory_sync.h"
#include "config/run_log.h"
#include "decodelog/spool_record.h"
#include "metrics/gateway_metrics.h"

namespace {

constexpr const char kFunction[] = "SamvDecodeLogQueue";
constexpr const char kRecordSuffix[] = ".rec";
constexpr const char kTempSuffix[] = ".tmp";

// Writes all bytes; false with errno set.
bool WriteAll(int nFd, const uint8_t* pData, size_t unSize) {
  while (unSize > 0) {
    ssize_t n = ::write(nFd, pData, unSize);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    pData += n;
    unSize -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadWholeFile(const std::string& strPath, std::vector<uint8_t>* pOut,
                   int64_t* pnModifiedS = nullptr) {
  pOut->clear();
  int nFd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (nFd < 0) {
    return false;
  }
  struct stat st;
  if (pnModifiedS != nullptr) {
    *pnModifiedS = ::fstat(nFd, &st) == 0 ? st.st_mtime : UnixNowS();
  }
  uint8_t buf[1024];
  for (;;) {
    ssize_t n = ::read(nFd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      ::close(nFd);
      return n == 0;
    }
    if (pOut->size() + static_cast<size_t>(n) > kSpoolMaxFileSize) {
      // Longer than any record: read no further, the length check refuses it.
      pOut->insert(pOut->end(), buf, buf + n);
      ::close(nFd);
      return true;
    }
    pOut->insert(pOut->end(), buf, buf + n);
  }
}

bool MakeDirectory(const std::string& strPath) {
  return ::mkdir(strPath.c_str(), 0755) == 0 || errno == EEXIST;
}

// "0000000000000001.rec" -> 1; false for any other name.
bool ParseRecordName(const char* szName, const char* szSuffix, uint64_t* punSeq) {
  const size_t unSuffix = std::strlen(szSuffix);
  if (std::strlen(szName) != 16 + unSuffix || std::strcmp(szName + 16, szSuffix) != 0) {
    return false;
  }
  uint64_t unSeq = 0;
  for (int i = 0; i < 16; ++i) {
    char c = szName[i];
    unSeq <<= 4;
    if (c >= '0' && c <= '9') {
      unSeq |= static_cast<uint64_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      unSeq |= static_cast<uint64_t>(c - 'a' + 10);
    } else {
      return false;
    }
  }
  *punSeq = unSeq;
  return unSeq != 0;
}

// A capture time as the transaction identifier keeps it: to 100 µs.
boost::posix_time::ptime IdentifierTime(const boost::posix_time::ptime& tm) {
  return tm - boost::posix_time::microseconds(tm.time_of_day().total_microseconds() % 100);
}

}  // namespace

const uint32_t CDecodeLogQueue::kMemoryRecordBytes = sizeof(DecodeLogRecord);

CDecodeLogQueue::CDecodeLogQueue() : m_unMaxBytes(16u * 1024u * 1024u) {}

CDecodeLogQueue::~CDecodeLogQueue() = default;

std::string CDecodeLogQueue::FilePath(uint64_t unSeq, const char* szSuffix) const {
  char szName[32] = {0};
  std::snprintf(szName, sizeof(szName), "%016" PRIx64 "%s", unSeq, szSuffix);
  return m_strDirectory + szName;
}

void CDecodeLogQueue::Open(const std::string& strDirectory, uint64_t unMaxBytes) {
  m_unMaxBytes = unMaxBytes < sizeof(DecodeLogRecord) ? sizeof(DecodeLogRecord) : unMaxBytes;
  m_bDurable = false;
  m_strDirectory.clear();
  if (strDirectory.empty()) {
    WriteLogF("FUNCTION %s  LINE %d no spool directory: card records are kept in memory only",
              kFunction, __LINE__);
    return;
  }
  std::string strDir = strDirectory;
  if (strDir.back() != '/') {
    strDir += '/';
  }
  // Every parent but the root must exist; the spool itself is made here.
  std::string strProbe = strDir + ".probe";
  bool bUsable = MakeDirectory(strDir.substr(0, strDir.size() - 1));
  int nError = errno;
  if (bUsable) {
    int nFd = ::open(strProbe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    nError = errno;
    bUsable = nFd >= 0;
    if (bUsable) {
      ::close(nFd);
      ::unlink(strProbe.c_str());
    }
  }
  if (!bUsable) {
    WriteLogF("FUNCTION %s  LINE %d spool directory %s cannot be used (%s): card records are "
              "kept in memory only",
              kFunction, __LINE__, strDir.c_str(), std::strerror(nError));
    return;
  }
  m_strDirectory = strDir;
  LoadSpool();
  // New records are numbered after every loaded one from here on.
  m_bDurable = true;
}

void CDecodeLogQueue::LoadSpool() {
  std::vector<uint64_t> arrSeq;
  DIR* pDir = ::opendir(m_strDirectory.c_str());
  if (pDir == nullptr) {
    return;
  }
  while (struct dirent* pEntry = ::readdir(pDir)) {
    uint64_t unSeq = 0;
    if (ParseRecordName(pEntry->d_name, kRecordSuffix, &unSeq)) {
      arrSeq.push_back(unSeq);
    } else if (ParseRecordName(pEntry->d_name, kTempSuffix, &unSeq)) {
      // A write that never reached its rename: its answer was never relayed.
      ::unlink((m_strDirectory + pEntry->d_name).c_str());
    }
  }
  ::closedir(pDir);
  std::sort(arrSeq.begin(), arrSeq.end());
  std::vector<uint8_t> arrFile;
  std::unique_ptr<DecodeLogRecord> upScratch(new DecodeLogRecord);
  DecodeLogRecord* pScratch = upScratch.get();
  size_t unLoaded = 0;
  for (uint64_t unSeq : arrSeq) {
    if (unSeq >= m_unNextSeq.load()) {
      m_unNextSeq = unSeq + 1;
    }
    SpoolRecordStatus eStatus = SpoolRecordStatus::Truncated;
    int64_t nModifiedS = 0;
    if (ReadWholeFile(FilePath(unSeq, kRecordSuffix), &arrFile, &nModifiedS)) {
      eStatus = DecodeSpoolRecord(arrFile.data(), arrFile.size(), pScratch);
    }
    if (eStatus != SpoolRecordStatus::Ok) {
      SetAside(unSeq, "bad", SpoolRecordStatusText(eStatus));
      continue;
    }
    const int64_t nStoredS = SteadyNowS() - std::max<int64_t>(0, UnixNowS() - nModifiedS);
    boost::mutex::scoped_lock lock(m_mtx);
    boost::posix_time::ptime tmDecode;
    if (GetDecodeTime(*pScratch, &tmDecode) &&
        (m_tmLastStamp.is_special() || tmDecode > m_tmLastStamp)) {
      // New records keep clear of the identifiers of these.
      m_tmLastStamp = IdentifierTime(tmDecode);
    }
    MakeRoomLocked(static_cast<uint32_t>(arrFile.size()));
    Entry entry;
    entry.unBytes = static_cast<uint32_t>(arrFile.size());
    entry.nStoredS = nStoredS;
    m_arrQueue.emplace_back(unSeq, std::move(entry));
    m_unBytes += arrFile.size();
    ++m_unSpooled;
    ++unLoaded;
  }
  WriteLogF("FUNCTION %s  LINE %d spool %s: %u card records queued from earlier runs", kFunction,
            __LINE__, m_strDirectory.c_str(), static_cast<unsigned>(unLoaded));
}

bool CDecodeLogQueue::WriteFile(uint64_t unSeq, const std::vector<uint8_t>& arrFile) {
  const std::string strTemp = FilePath(unSeq, kTempSuffix);
  int nFd = ::open(strTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool bOk = nFd >= 0 && WriteAll(nFd, arrFile.data(), arrFile.size()) && ::fsync(nFd) == 0;
  int nError = errno;
  if (nFd >= 0) {
    bOk = ::close(nFd) == 0 && bOk;
  }
  if (bOk && ::rename(strTemp.c_str(), FilePath(unSeq, kRecordSuffix).c_str()) != 0) {
    nError = errno;
    bOk = false;
  }
  if (!bOk) {
    ::unlink(strTemp.c_str());
    // Once per spell of failures (a full disk fails every record), not once per record.
    if (!m_bWriteFailing.exchange(true)) {
      WriteLogF("FUNCTION %s  LINE %d spool write failed (%s): the card record is kept in memory",
                kFunction, __LINE__, std::strerror(nError));
      GatewayMetrics().NoteError(std::string("spool write failed (") + std::strerror(nError) +
                                 "): card records are kept in memory");
    }
    return false;
  }
  (void)SyncDirectory(m_strDirectory);  // best effort: the record is in its file either way
  if (m_bWriteFailing.exchange(false)) {
    WriteLogF("FUNCTION %s  LINE %d spool writes again: card records are kept in files",
              kFunction, __LINE__);
  }
  return true;
}

void CDecodeLogQueue::RemoveFile(uint64_t unSeq, bool bSync) {
  ::unlink(FilePath(unSeq, kRecordSuffix).c_str());
  if (bSync) {
    (void)SyncDirectory(m_strDirectory);  // best effort, as every sync here
  }
}

void CDecodeLogQueue::SetAside(uint64_t unSeq, const char* szSubdirectory,
                               const std::string& strWhy) {
  const std::string strTarget = m_strDirectory + szSubdirectory;
  const std::string strFrom = FilePath(unSeq, kRecordSuffix);
  const std::string strBase = strFrom.substr(m_strDirectory.size());
  // Never over a file set aside before (a spool emptied by hand numbers its records anew): the
  // name gets ".1", ".2", ... until it is free.
  std::string strName = strBase;
  struct stat st;
  for (unsigned unTry = 1; ::lstat((strTarget + "/" + strName).c_str(), &st) == 0; ++unTry) {
    strName = strBase + "." + std::to_string(unTry);
  }
  if (MakeDirectory(strTarget) && ::rename(strFrom.c_str(), (strTarget + "/" + strName).c_str()) == 0) {
    // Both ends of the move: a power cut must find the file in the subdirectory and no longer
    // in the queue, or a record set aside would be queued (and sent) again.
    (void)SyncDirectory(strTarget);
    (void)SyncDirectory(m_strDirectory);
    WriteLogF("FUNCTION %s  LINE %d card record %s set aside in %s/ (%s)", kFunction, __LINE__,
              strName.c_str(), szSubdirectory, strWhy.c_str());
  } else {
    int nError = errno;
    ::unlink(strFrom.c_str());
    (void)SyncDirectory(m_strDirectory);
    WriteLogF("FUNCTION %s  LINE %d card record %s (%s) could not be moved to %s/ (%s): removed",
              kFunction, __LINE__, strName.c_str(), strWhy.c_str(), szSubdirectory,
              std::strerror(nError));
  }
}

void CDecodeLogQueue::MakeRoomLocked(uint32_t unIncoming) {
  while (!m_arrQueue.empty() && m_unBytes + unIncoming > m_unMaxBytes) {
    std::pair<uint64_t, Entry>& head = m_arrQueue.front();
    m_unBytes -= head.second.unBytes;
    if (!head.second.upRecord) {
      // Not synced under the lock: a dropped record that a power cut brings back is only
      // delivered after all.
      RemoveFile(head.first, false);
      --m_unSpooled;
    }
    m_arrQueue.pop_front();
    const uint64_t unDropped = ++m_unDropped;
    WriteLogF("FUNCTION %s  LINE %d card record queue full (%" PRIu64 " bytes): the oldest record "
              "was dropped, %" PRIu64 " dropped so far",
              kFunction, __LINE__, m_unMaxBytes, unDropped);
    GatewayMetrics().NoteError("card record queue full: the oldest record was dropped");
  }
}

void CDecodeLogQueue::StampLocked(DecodeLogRecord* pRecord) {
  namespace pt = boost::posix_time;
  pt::ptime tm;
  const bool bHasTime = GetDecodeTime(*pRecord, &tm);
  if (!bHasTime) {
    tm = LocalTimeNow();
  }
  const pt::ptime tmStamp = IdentifierTime(tm);
  if (!m_tmLastStamp.is_special() && tmStamp <= m_tmLastStamp &&
      m_tmLastStamp - tmStamp < pt::seconds(1)) {
    m_tmLastStamp += pt::microseconds(100);
    SetDecodeTime(pRecord, m_tmLastStamp);
    return;
  }
  m_tmLastStamp = tmStamp;
  if (!bHasTime) {
    SetDecodeTime(pRecord, tm);
  }
}

uint64_t CDecodeLogQueue::Prepare(const DecodeLogRecord& recordIn) {
  const uint64_t unSeq = m_unNextSeq.fetch_add(1);
  DecodeLogRecord record = recordIn;
  {
    boost::mutex::scoped_lock lock(m_mtx);
    StampLocked(&record);
  }
  Entry entry;
  entry.nStoredS = SteadyNowS();
  bool bInFile = false;
  if (m_bDurable.load()) {
    std::vector<uint8_t> arrFile = EncodeSpoolRecord(record);
    entry.unBytes = static_cast<uint32_t>(arrFile.size());
    bInFile = WriteFile(unSeq, arrFile);
  }
  if (!bInFile) {
    entry.upRecord.reset(new (std::nothrow) DecodeLogRecord(record));
    if (!entry.upRecord) {
      WriteLogF("FUNCTION %s  LINE %d no memory for a card record: it is lost", kFunction,
                __LINE__);
      return 0;
    }
    // In memory a record costs its whole structure, whatever its answer's length.
    entry.unBytes = kMemoryRecordBytes;
  }
  boost::mutex::scoped_lock lock(m_mtx);
  MakeRoomLocked(entry.unBytes);
  m_unBytes += entry.unBytes;
  m_mapOut.emplace(unSeq, std::move(entry));
  return unSeq;
}

void CDecodeLogQueue::Commit(uint64_t unTicket) {
  boost::mutex::scoped_lock lock(m_mtx);
  auto it = m_mapOut.find(unTicket);
  if (it == m_mapOut.end() || it->second.bTaken) {
    return;
  }
  if (!it->second.upRecord) {
    ++m_unSpooled;
  }
  m_arrQueue.emplace_back(unTicket, std::move(it->second));
  m_mapOut.erase(it);
}

void CDecodeLogQueue::Withdraw(uint64_t unTicket) {
  bool bFile = false;
  {
    boost::mutex::scoped_lock lock(m_mtx);
    auto it = m_mapOut.find(unTicket);
    if (it == m_mapOut.end() || it->second.bTaken) {
      return;
    }
    bFile = !it->second.upRecord;
    m_unBytes -= it->second.unBytes;
    m_mapOut.erase(it);
  }
  if (bFile) {
    RemoveFile(unTicket);
  }
}

bool CDecodeLogQueue::Rewrite(uint64_t unTicket, const DecodeLogRecord& recordIn) {
  bool bInFile = false;
  DecodeLogRecord record = recordIn;
  {
    boost::mutex::scoped_lock lock(m_mtx);
    auto it = m_mapOut.find(unTicket);
    if (it == m_mapOut.end() || it->second.bTaken) {
      return false;
    }
    // A prepared version was never sent: the version that will be gets its own identifier.
    StampLocked(&record);
    if (it->second.upRecord) {
      *it->second.upRecord = record;
      return true;
    }
    bInFile = true;
  }
  // A prepared record is its capture's alone until it is committed: the file is written outside
  // the lock, by rename over the old version.
  std::vector<uint8_t> arrFile = EncodeSpoolRecord(record);
  if (!bInFile || !WriteFile(unTicket, arrFile)) {
    return false;
  }
  boost::mutex::scoped_lock lock(m_mtx);
  auto it = m_mapOut.find(unTicket);
  if (it != m_mapOut.end()) {
    m_unBytes = m_unBytes - it->second.unBytes + arrFile.size();
    it->second.unBytes = static_cast<uint32_t>(arrFile.size());
  }
  return true;
}

bool CDecodeLogQueue::Push(const DecodeLogRecord& record) {
  uint64_t unTicket = Prepare(record);
  Commit(unTicket);
  return unTicket != 0;
}

bool CDecodeLogQueue::Take(uint64_t* punTicket, DecodeLogRecord* pRecord) {
  std::vector<uint8_t> arrFile;
  for (;;) {
    uint64_t unSeq = 0;
    {
      boost::mutex::scoped_lock lock(m_mtx);
      if (m_arrQueue.empty()) {
        return false;
      }
      unSeq = m_arrQueue.front().first;
      Entry& entry = m_arrQueue.front().second;
      entry.bTaken = true;
      if (entry.upRecord) {
        *pRecord = *entry.upRecord;
      }
      const bool bInMemory = static_cast<bool>(entry.upRecord);
      m_mapOut.emplace(unSeq, std::move(entry));
      m_arrQueue.pop_front();
      ++m_unTaken;
      if (bInMemory) {
        *punTicket = unSeq;
        return true;
      }
    }
    SpoolRecordStatus eStatus = SpoolRecordStatus::Truncated;
    if (ReadWholeFile(FilePath(unSeq, kRecordSuffix), &arrFile)) {
      eStatus = DecodeSpoolRecord(arrFile.data(), arrFile.size(), pRecord);
    }
    if (eStatus == SpoolRecordStatus::Ok) {
      *punTicket = unSeq;
      return true;
    }
    {
      boost::mutex::scoped_lock lock(m_mtx);
      Entry gone;
      (void)ReleaseTakenLocked(unSeq, &gone);
    }
    SetAside(unSeq, "bad", SpoolRecordStatusText(eStatus));
  }
}

bool CDecodeLogQueue::ReleaseTakenLocked(uint64_t unTicket, Entry* pEntry) {
  auto it = m_mapOut.find(unTicket);
  if (it == m_mapOut.end() || !it->second.bTaken) {
    return false;
  }
  *pEntry = std::move(it->second);
  m_mapOut.erase(it);
  m_unBytes -= pEntry->unBytes;
  --m_unTaken;
  if (!pEntry->upRecord) {
    --m_unSpooled;
  }
  return true;
}

void CDecodeLogQueue::Delivered(uint64_t unTicket) { Discard(unTicket); }

void CDecodeLogQueue::Discard(uint64_t unTicket) {
  Entry entry;
  {
    boost::mutex::scoped_lock lock(m_mtx);
    if (!ReleaseTakenLocked(unTicket, &entry)) {
      return;
    }
  }
  if (!entry.upRecord) {
    RemoveFile(unTicket);
  }
}

bool CDecodeLogQueue::DiscardOneInMemory() {
  boost::mutex::scoped_lock lock(m_mtx);
  if (m_arrQueue.size() + m_unTaken == m_unSpooled) {
    return false;  // every record is in a file
  }
  for (auto it = m_arrQueue.begin(); it != m_arrQueue.end(); ++it) {
    if (it->second.upRecord) {
      m_unBytes -= it->second.unBytes;
      m_arrQueue.erase(it);
      return true;
    }
  }
  return false;
}

void CDecodeLogQueue::Reject(uint64_t unTicket) {
  Entry entry;
  {
    boost::mutex::scoped_lock lock(m_mtx);
    if (!ReleaseTakenLocked(unTicket, &entry)) {
      return;
    }
  }
  if (!entry.upRecord) {
    SetAside(unTicket, "rejected", "refused by the log server");
  }
}

void CDecodeLogQueue::PutBack(uint64_t unTicket) {
  boost::mutex::scoped_lock lock(m_mtx);
  auto it = m_mapOut.find(unTicket);
  if (it == m_mapOut.end() || !it->second.bTaken) {
    return;
  }
  it->second.bTaken = false;
  --m_unTaken;
  m_arrQueue.emplace_back(unTicket, std::move(it->second));
  m_mapOut.erase(it);
}

size_t CDecodeLogQueue::Size() const {
  boost::mutex::scoped_lock lock(m_mtx);
  return m_arrQueue.size() + m_unTaken;
}

CDecodeLogQueue::Figures CDecodeLogQueue::GetFigures() const {
  Figures figures;
  const int64_t nNow = SteadyNowS();
  boost::mutex::scoped_lock lock(m_mtx);
  figures.unQueued = m_arrQueue.size() + m_unTaken;
  figures.unSpooled = m_unSpooled;
  figures.unBytes = m_unBytes;
  // Records put back go to the tail, so the oldest may be anywhere.
  auto consider = [&figures, nNow](const Entry& entry) {
    figures.nOldestAgeS = std::max(figures.nOldestAgeS, std::max<int64_t>(0, nNow - entry.nStoredS));
  };
  for (const auto& item : m_arrQueue) {
    consider(item.second);
  }
  if (m_unTaken > 0) {
    for (const auto& item : m_mapOut) {
      if (item.second.bTaken) {
        consider(item.second);
      }
    }
  }
  return figures;
}

size_t CDecodeLogQueue::Spooled() const {
  boost::mutex::scoped_lock lock(m_mtx);
  return m_unSpooled;
}
