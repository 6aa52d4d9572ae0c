// Writes a backlog of card records into a spool directory, as a gateway whose log server was
// away would have left it: cardgate-bench-spool DIR COUNT. Each record is a text-only card whose
// document the log server simulator reads as valid.
#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/byte_io.h"
#include "core/device_frame.h"
#include "decodelog/decode_log_record.h"
#include "decodelog/spool_record.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: cardgate-bench-spool DIR COUNT\n");
    return 2;
  }
  const std::string strDir = std::string(argv[1]) + "/";
  const long nCount = std::strtol(argv[2], nullptr, 10);
  (void)::mkdir(argv[1], 0755);
  DecodeLogRecord record;
  std::memset(&record, 0, sizeof(record));
  // A scrambled text-only answer whose text block is all blanks.
  record.unSamvDataLength = 288;
  PutLe32(record.arrSamvData, 284);
  const uint8_t key[kDeviceKeySize] = {1, 2, 3, 4, 5, 6, 7, 8};
  std::memcpy(record.arrSamvData + 4, key, sizeof(key));
  for (size_t i = 30; i < 30 + 256; i += 2) {
    PutLe16(record.arrSamvData + i, 0x0020);
  }
  MaskDeviceBody(record.arrSamvData + 12, 284 - 8, key);
  CopyText(record.szDeviceId, "BENCH");
  CopyText(record.szDeviceIp, "127.0.0.1");
  for (long i = 1; i <= nCount; ++i) {
    char szTrans[64];
    std::snprintf(szTrans, sizeof(szTrans), "{\"n\":%ld}", i);
    CopyText(record.szTransData, szTrans);
    std::vector<uint8_t> arrFile = EncodeSpoolRecord(record);
    char szName[32];
    std::snprintf(szName, sizeof(szName), "%016" PRIx64 ".rec", static_cast<uint64_t>(i));
    FILE* pFile = std::fopen((strDir + szName).c_str(), "wb");
    if (pFile == nullptr || std::fwrite(arrFile.data(), 1, arrFile.size(), pFile) != arrFile.size()) {
      std::perror("cardgate-bench-spool");
      return 1;
    }
    std::fclose(pFile);
  }
  return 0;
}
