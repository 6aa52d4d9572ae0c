// The pool's retry of an unreachable SAMV server against a clock that is set back.
#include <memory>

#include <gtest/gtest.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "config/run_log.h"
#include "core/data_switch.h"
#include "samv_sim.h"
#include "support/test_util.h"

namespace {

boost::posix_time::ptime g_tmNow;
boost::posix_time::ptime TestNow() {
  return g_tmNow;
}

class RetryClockTest : public ::testing::Test {
 protected:
  RetryClockTest() : m_ds(m_dir.Path(), 0) {
    g_tmNow = boost::posix_time::time_from_string("2026-05-06 10:00:00");
    SetLocalClockSource(&TestNow);
  }
  ~RetryClockTest() override {
    SetLocalClockSource(nullptr);
    // The retry's connection thread must be gone before the client is.
    EXPECT_TRUE(WaitFor([&] { return m_client.ThreadCount() == 0; }));
  }

  TempDir m_dir;
  DataSwitch m_ds;
  CTcpClient m_client;
};

}  // namespace

TEST_F(RetryClockTest, ClockSetBackDelaysTheRetryByOnePeriodOnly) {
  SamvSimOptions options;
  options.eMode = SamvSimMode::Echo;
  CSamvSim samv(options);  // reachable again: the next retry recovers the client
  m_client.Configure("127.0.0.1", samv.Port(), 0, 0);
  m_ds.m_arrErrorTcpClient = {&m_client};

  struct Step {
    const char* szName;
    int nAdvanceSeconds;
    bool bRecovered;
  } steps[] = {
      {"first pass starts the retry clock", 0, false},
      {"the clock goes back a day", -24 * 3600, false},
      {"five seconds later", 5, false},
      {"six seconds after the set back", 1, true},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.szName);
    g_tmNow += boost::posix_time::seconds(step.nAdvanceSeconds);
    m_ds.ProcessSamvErrorClient();
    boost::mutex::scoped_lock lock(m_ds.m_mtxPool);
    EXPECT_EQ(m_ds.m_arrErrorTcpClient.size(), step.bRecovered ? 0u : 1u);
    EXPECT_EQ(m_ds.m_arrFreeTcpClient.size(), step.bRecovered ? 1u : 0u);
  }
  EXPECT_TRUE(WaitFor([&] { return samv.Accepted() == 1; }));  // the retry's connection
}
