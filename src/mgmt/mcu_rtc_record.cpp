#include "mgmt/mcu_rtc_record.h"

#include <cstring>

#include "config/byte_io.h"

void EncodeMcuRtc(const McuRtcRecord& rec, uint8_t* pOut) {
  using namespace McuRtcLayout;
  PutLe16(pOut + kYear, rec.unYear);
  pOut[kMonth] = rec.byMonth;
  pOut[kDay] = rec.byDay;
  pOut[kHour] = rec.byHour;
  pOut[kMinute] = rec.byMinute;
  pOut[kSecond] = rec.bySecond;
  std::memcpy(pOut + kOpaque, rec.arrOpaque, sizeof(rec.arrOpaque));
}

void DecodeMcuRtc(const uint8_t* pIn, McuRtcRecord* pRec) {
  using namespace McuRtcLayout;
  pRec->unYear = GetLe16(pIn + kYear);
  pRec->byMonth = pIn[kMonth];
  pRec->byDay = pIn[kDay];
  pRec->byHour = pIn[kHour];
  pRec->byMinute = pIn[kMinute];
  pRec->bySecond = pIn[kSecond];
  std::memcpy(pRec->arrOpaque, pIn + kOpaque, sizeof(pRec->arrOpaque));
}
