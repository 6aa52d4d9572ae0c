#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/mutex.hpp>

#include "decodelog/decode_log_record.h"

// The queue of card records waiting for the log server, oldest first, kept durable in a spool
// directory: every record is a file of its own (see spool_record.h) written to "<seq>.tmp",
// flushed to storage and renamed to "<seq>.rec" before it counts as queued, and removed only
// when the log server has taken it (or refused it for good). Each change to the directory (a
// file added, removed or set aside) is synced, so a power cut neither loses a queued record nor
// brings back a delivered one. After a crash, a power cut or a restart the files are queued
// again, oldest first. Memory holds the index only (sequence number and size per record); a
// record is read back from its file when its turn comes.
//
// Without a spool directory (empty DIR, or one that cannot be created or written) the records
// are kept in memory, under the same size bound, each counting the memory it takes. When the bound would be passed, the oldest
// queued record is dropped and the drop is logged.
//
// Protocol of a record's life:
//   capture:  Prepare (stored, not yet visible) [-> Rewrite ...] -> Commit (queued) or Withdraw
//             (gone)
//   upload:   Take (out of the queue) -> Delivered | PutBack (to the tail) | Reject | Discard
// Thread-safe: the capture runs on SAMV client threads, the upload on its own thread. File work
// is done outside the lock except for the removal of dropped records.
class CDecodeLogQueue {
 public:
  CDecodeLogQueue();
  ~CDecodeLogQueue();
  CDecodeLogQueue(const CDecodeLogQueue&) = delete;
  CDecodeLogQueue& operator=(const CDecodeLogQueue&) = delete;

  // Chooses the spool directory (empty: memory only) and the bound of all queued records
  // together (bytes, at least one record). Creates the directory when missing, removes leftover
  // temporary files, queues every record file oldest first and moves unreadable ones to
  // "<dir>/bad/" with a run-log line. A directory that cannot be created or written is reported
  // once and the queue runs in memory. Call once, before any other thread uses the queue;
  // records queued before Open stay queued (in memory).
  void Open(const std::string& strDirectory, uint64_t unMaxBytes);

  // Stores a copy of the record (its file is on storage when this returns, or, when the spool
  // cannot take it, in memory) without queueing it yet. Returns the record's ticket, 0 when it
  // could not be kept at all (memory exhausted; logged).
  // The copy's capture time (szDecodeTime; the time it is stored when the record has none) is
  // its transaction identifier on every attempt and after a restart, to 100 µs: one that another
  // record of this run already has, or one up to a second before it (two modules decoding at once,
  // a clock stepped back a little), is moved on to the next free 100 µs.
  uint64_t Prepare(const DecodeLogRecord& record);
  // Queues a prepared record at the tail. Unknown tickets (0 included) are ignored.
  void Commit(uint64_t unTicket);
  // Forgets a prepared record and removes its file.
  void Withdraw(uint64_t unTicket);
  // Replaces a prepared record by another version of it (a fingerprint answer completed by its
  // second part), in one step on storage: after a crash the file holds one version or the other,
  // never both nor neither. The record stays prepared. False (nothing changed) for an unknown
  // ticket; when the new version cannot be written the old one stays (logged).
  // The new version's capture time is made its identifier as Prepare makes it.
  bool Rewrite(uint64_t unTicket, const DecodeLogRecord& record);
  // Prepare and Commit in one. False when the record could not be kept.
  bool Push(const DecodeLogRecord& record);

  // Takes the oldest queued record out of the queue for one upload attempt: copies it into
  // *pRecord and gives its ticket. False when the queue is empty. A record file that can no
  // longer be read is set aside (logged) and the next one is taken.
  bool Take(uint64_t* punTicket, DecodeLogRecord* pRecord);
  // Outcomes of an attempt on a taken record.
  void Delivered(uint64_t unTicket);  // removed
  void PutBack(uint64_t unTicket);    // queued again at the tail
  void Reject(uint64_t unTicket);     // moved to "<dir>/rejected/" (memory only: dropped)
  void Discard(uint64_t unTicket);    // removed without delivery
  // Removes the oldest queued record that is kept in memory only (not in a file): what goes when
  // no log server is configured, while records in the spool stay for one. False when there is
  // none.
  bool DiscardOneInMemory();

  // Current state: records queued or taken (not prepared ones), and of them those in files.
  size_t Size() const;
  size_t Spooled() const;
  uint64_t Dropped() const { return m_unDropped.load(); }
  bool Durable() const { return m_bDurable.load(); }
  // True while the spool fails to take records (from the first failed write to the next one that
  // succeeds); they are then kept in memory.
  bool WriteFailing() const { return m_bWriteFailing.load(); }

  // One consistent reading for the operator's window: what Size and Spooled give, the bytes
  // counted against the bound, and how long ago the oldest waiting record was stored (seconds;
  // a record of an earlier run is as old as its file was at start-up, and ages from there; -1
  // when nothing waits). Ages are kept on the steady clock, so a wall clock set at boot does not
  // age them by years. Looks at every waiting record once, under the lock.
  struct Figures {
    size_t unQueued = 0;
    size_t unSpooled = 0;
    uint64_t unBytes = 0;
    int64_t nOldestAgeS = -1;
  };
  Figures GetFigures() const;
  const std::string& Directory() const { return m_strDirectory; }

  // What a record kept in memory counts against the bound (a record in a file counts its size).
  static const uint32_t kMemoryRecordBytes;

 private:
  struct Entry {
    uint32_t unBytes = 0;                      // file size (or record size in memory)
    std::unique_ptr<DecodeLogRecord> upRecord;  // set when the record is kept in memory
    bool bTaken = false;                        // out for an upload attempt (else prepared)
    int64_t nStoredS = 0;  // steady-clock seconds when it was stored (see GetFigures)
  };
  // Removes a taken entry for good. REQUIRES: m_mtx held.
  bool ReleaseTakenLocked(uint64_t unTicket, Entry* pEntry);
  std::string FilePath(uint64_t unSeq, const char* szSuffix) const;
  // Writes the record's file; false (logged) when the spool cannot take it.
  bool WriteFile(uint64_t unSeq, const std::vector<uint8_t>& arrFile);
  // Moves a file into a subdirectory of the spool ("bad", "rejected"). Logs what it did.
  void SetAside(uint64_t unSeq, const char* szSubdirectory, const std::string& strWhy);
  // Removes a record's file; with bSync the removal is made durable before this returns.
  void RemoveFile(uint64_t unSeq, bool bSync = true);
  // Drops the oldest queued records until unIncoming more bytes fit. REQUIRES: m_mtx held.
  void MakeRoomLocked(uint32_t unIncoming);
  void LoadSpool();
  // Gives the record its capture time for good (see Prepare). REQUIRES: m_mtx held.
  void StampLocked(DecodeLogRecord* pRecord);

  std::string m_strDirectory;  // with a trailing "/"; empty: memory only. Set by Open.
  uint64_t m_unMaxBytes;
  std::atomic<bool> m_bDurable{false};
  std::atomic<uint64_t> m_unNextSeq{1};
  std::atomic<uint64_t> m_unDropped{0};
  std::atomic<bool> m_bWriteFailing{false};  // the last spool write failed (it was logged)

  mutable boost::mutex m_mtx;  // guards everything below
  std::deque<std::pair<uint64_t, Entry>> m_arrQueue;  // queued, head first
  std::map<uint64_t, Entry> m_mapOut;                 // prepared or taken
  uint64_t m_unBytes = 0;                             // of every entry, queued or out
  size_t m_unTaken = 0;                               // entries of m_mapOut with bTaken
  size_t m_unSpooled = 0;                             // entries (queued or taken) in files
  boost::posix_time::ptime m_tmLastStamp;  // the latest capture time given (not_a_date_time)
};
