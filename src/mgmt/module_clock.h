#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "mgmt/mcu_rtc_record.h"

// Writes the calendar fields of a local time (year, month, day, hour, minute, second) into a
// module clock record; its five opaque bytes are left as they are.
void LocalTimeToMcuRtc(const boost::posix_time::ptime& tm, McuRtcRecord* pRec);

// True when the module clock shows the same year, month, day, hour and minute as tm; seconds
// and the opaque bytes play no part.
bool McuRtcSameMinute(const McuRtcRecord& rec, const boost::posix_time::ptime& tm);
