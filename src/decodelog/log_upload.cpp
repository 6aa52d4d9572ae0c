#include "decodelog/log_upload.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "config/byte_io.h"
#include "config/run_log.h"
#include "core/data_switch.h"
#include "decodelog/card_document.h"

namespace {

constexpr const char kFunction[] = "ProcessSendSamvDecodeLog";

constexpr std::chrono::milliseconds kConnectTimeout(2000);
constexpr std::chrono::milliseconds kConnectPoll(50);
constexpr std::chrono::milliseconds kPauseAfterSend(200);
constexpr int kAnswerPolls = 10;
constexpr std::chrono::milliseconds kAnswerPoll(50);
// How long a new attempt waits for the thread of the previous connection to end.
constexpr std::chrono::milliseconds kOldThreadWait(200);
constexpr std::chrono::milliseconds kOldThreadPoll(1);

// Attempts, not records; for the whole process, never reset.
std::atomic<int32_t> g_nConnectFalseCount{0};
std::atomic<int32_t> g_nSendFalseCount{0};
std::atomic<int32_t> g_nSendCount{0};
std::atomic<int32_t> g_nReceiveFalseCount{0};
std::atomic<int32_t> g_nReceiveSuccessCount{0};

// The record taken for one attempt, and the connection started for it. Whatever way the attempt
// ends (an error raised by the transport or the builder included), an undelivered record goes
// back to the tail of the queue and a started connection is closed.
class UploadAttempt {
 public:
  UploadAttempt(DataSwitch& ds, DecodeLogRecord* pRecord) : m_ds(ds), m_pRecord(pRecord) {}
  ~UploadAttempt() {
    if (m_bStarted) {
      m_ds.m_LogServerClient.Close();
    }
    PutBack();
  }
  UploadAttempt(const UploadAttempt&) = delete;
  UploadAttempt& operator=(const UploadAttempt&) = delete;

  DecodeLogRecord* Record() const { return m_pRecord; }
  void Started() { m_bStarted = true; }
  void Close() {
    m_ds.m_LogServerClient.Close();
    m_bStarted = false;
  }
  void PutBack() {
    if (m_pRecord != nullptr) {
      m_ds.SamvDecodeLogQueue(m_pRecord);
      m_pRecord = nullptr;
    }
  }
  void Delivered() {
    delete m_pRecord;
    m_pRecord = nullptr;
  }

 private:
  DataSwitch& m_ds;
  DecodeLogRecord* m_pRecord;  // owned until put back or delivered
  bool m_bStarted = false;
};

// Device command 81 only raises a flag; the client is touched here, on the main thread, while no
// connection of it is in use.
void ReconfigureIfAsked(DataSwitch& ds) {
  if (!ds.m_bLogServerReconfigure.exchange(false)) {
    return;
  }
  SystemConfigStruct stConfig = ds.GetSystemConfigCopy();
  char szAddress[sizeof(stConfig.szLogServerIp) + 1] = {0};
  std::memcpy(szAddress, stConfig.szLogServerIp, FieldLength(stConfig.szLogServerIp));
  ds.m_LogServerClient.Close();
  ds.m_LogServerClient.Configure(szAddress, static_cast<int32_t>(stConfig.unLogServerPort), 0, 0);
}

}  // namespace

std::string BuildSamvDecodeLogHttpData(DataSwitch& ds, const DecodeLogRecord* pRecord) {
  if (pRecord == nullptr) {
    return std::string();
  }
  SystemConfigStruct stConfig = ds.GetSystemConfigCopy();
  return BuildSamvDecodeLogHttpData(stConfig, pRecord, LocalClockNow());
}

uint32_t ProcessSendSamvDecodeLog(DataSwitch& ds) {
  if (ds.LogServerPort() == 0) {
    // No log server: what was queued before the port was cleared goes, one record per pass.
    DecodeLogRecord* pRecord = ds.SamvDecodeLogQueue(nullptr);
    if (pRecord != nullptr) {
      WriteLog("delete psttSamvDecodeLog");
      delete pRecord;
    }
    return 0;
  }
  DecodeLogRecord* pRecord = ds.SamvDecodeLogQueue(nullptr);
  if (pRecord == nullptr) {
    return 0;
  }
  UploadAttempt attempt(ds, pRecord);
  ReconfigureIfAsked(ds);

  // The previous connection is closed, but its thread may still be inside the receive callback
  // with a late answer; marking this attempt answered would delete this record undelivered.
  // A closed connection's thread ends at once otherwise.
  auto tmOldThread = std::chrono::steady_clock::now();
  while (ds.m_LogServerClient.ThreadCount() != 0 &&
         std::chrono::steady_clock::now() - tmOldThread < kOldThreadWait) {
    std::this_thread::sleep_for(kOldThreadPoll);
  }
  ds.m_bLogServerAnswered.store(0);
  attempt.Started();
  ds.m_LogServerClient.Start(DeviceHandle());
  // The steady clock: a wall clock set back during the wait would stretch it without end.
  auto tmStart = std::chrono::steady_clock::now();
  while (!ds.m_LogServerClient.IsConnected()) {
    std::this_thread::sleep_for(kConnectPoll);
    if (std::chrono::steady_clock::now() - tmStart >= kConnectTimeout) {
      WriteLogF("FUNCTION %s  LINE %d Connect False", kFunction, __LINE__);
      ++g_nConnectFalseCount;
      attempt.PutBack();
      attempt.Close();
      return 0;
    }
  }

  if (ds.m_LogServerClient.IsConnected()) {
    std::string strHttpData = BuildSamvDecodeLogHttpData(ds, attempt.Record());
    if (!strHttpData.empty()) {
      ++g_nSendCount;
      uint32_t unSendCount =
          ds.m_LogServerClient.SendData(reinterpret_cast<const uint8_t*>(strHttpData.data()),
                                        static_cast<uint32_t>(strHttpData.size()));
      if (unSendCount < strHttpData.size()) {
        ++g_nSendFalseCount;
        WriteLogF("FUNCTION %s  LINE %d Send False unSendCount %d, strHttpData.size() %d",
                  kFunction, __LINE__, static_cast<int>(unSendCount),
                  static_cast<int>(strHttpData.size()));
      }
    }
  }

  WriteLog("delete psttSamvDecodeLog");
  std::this_thread::sleep_for(kPauseAfterSend);
  bool bAnswered = false;
  for (int i = 0; i < kAnswerPolls; ++i) {
    if (ds.m_bLogServerAnswered.load() != 0) {
      bAnswered = true;
      break;
    }
    std::this_thread::sleep_for(kAnswerPoll);
  }
  if (bAnswered) {
    ++g_nReceiveSuccessCount;
    attempt.Delivered();
  } else {
    WriteLogF("FUNCTION %s  LINE %d Receive False", kFunction, __LINE__);
    ++g_nReceiveFalseCount;
    attempt.PutBack();
  }

  attempt.Close();
  WriteLogF(
      "FUNCTION %s  LINE %d nConnectFalseCount %d nSendFalseCount %d nSendCount %d "
      "nReceiveFalseCount %d nReceiveSuccessCount %d",
      kFunction, __LINE__, g_nConnectFalseCount.load(), g_nSendFalseCount.load(),
      g_nSendCount.load(), g_nReceiveFalseCount.load(), g_nReceiveSuccessCount.load());
  return 1;
}

LogUploadCounters GetLogUploadCounters() {
  return LogUploadCounters{g_nConnectFalseCount.load(), g_nSendFalseCount.load(),
                           g_nSendCount.load(), g_nReceiveFalseCount.load(),
                           g_nReceiveSuccessCount.load()};
}
