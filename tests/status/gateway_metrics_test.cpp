// The registry the gateway's parts report to: what it keeps and how it bounds it.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "metrics/gateway_metrics.h"

TEST(GatewayMetricsTest, AStateChangeIsDatedOnlyWhenTheStateChanges) {
  CGatewayMetrics metrics;
  std::vector<ModuleMetrics> arrModules(2);
  arrModules[1].strAddress = "10.0.0.2";
  arrModules[1].eState = ModuleState::Error;  // a fresh pool is free whatever was given
  metrics.SetModules(arrModules);
  MetricsSnapshot snapshot = metrics.Snapshot();
  ASSERT_EQ(snapshot.arrModules.size(), 2u);
  EXPECT_EQ(snapshot.arrModules[1].unIndex, 1u);
  EXPECT_EQ(snapshot.arrModules[1].eState, ModuleState::Free);
  EXPECT_EQ(snapshot.arrModules[1].strAddress, "10.0.0.2");

  metrics.ModuleStateChanged(1, ModuleState::Busy);
  metrics.ModuleSessionServed(1);
  metrics.ModuleConnectFailed(0);
  metrics.ModuleResetSent(0);
  metrics.ModuleAnswerLate(1);
  metrics.ModuleStateChanged(7, ModuleState::Error);  // no such module: ignored
  metrics.ModuleSessionServed(7);
  snapshot = metrics.Snapshot();
  EXPECT_EQ(snapshot.arrModules[1].eState, ModuleState::Busy);
  EXPECT_EQ(snapshot.arrModules[1].unSessions, 1u);
  EXPECT_EQ(snapshot.arrModules[1].unLateAnswers, 1u);
  EXPECT_EQ(snapshot.arrModules[0].unConnectFailures, 1u);
  EXPECT_EQ(snapshot.arrModules[0].unResets, 1u);
  EXPECT_EQ(snapshot.arrModules.size(), 2u);
}

TEST(GatewayMetricsTest, RecentErrorsKeepTheNewestAndCountRepeats) {
  CGatewayMetrics metrics;
  metrics.NoteError("log server 10.0.0.9:80: no connection");
  metrics.NoteError("log server 10.0.0.9:80: no connection");
  metrics.NoteError("module 10.0.0.1:16000: did not connect; now ERROR");
  // Two faults that go on take turns: each stays one entry, the latest to recur the newest.
  metrics.NoteError("log server 10.0.0.9:80: no connection");
  std::vector<RecentError> arrErrors = metrics.Snapshot().arrErrors;
  ASSERT_EQ(arrErrors.size(), 2u);
  EXPECT_EQ(arrErrors[0].strText, "module 10.0.0.1:16000: did not connect; now ERROR");
  EXPECT_EQ(arrErrors[1].strText, "log server 10.0.0.9:80: no connection");
  EXPECT_EQ(arrErrors[1].unRepeats, 3u);

  for (size_t i = 0; i < 2 * CGatewayMetrics::kRecentErrors; ++i) {
    metrics.NoteError("error " + std::to_string(i));
  }
  metrics.NoteError(std::string(1000, 'x'));
  arrErrors = metrics.Snapshot().arrErrors;
  ASSERT_EQ(arrErrors.size(), CGatewayMetrics::kRecentErrors);
  EXPECT_EQ(arrErrors.back().strText.size(), CGatewayMetrics::kErrorTextLimit);
  EXPECT_EQ(arrErrors.front().strText, "error " + std::to_string(CGatewayMetrics::kRecentErrors + 1));
}

TEST(GatewayMetricsTest, UploadDurationsFallIntoTheBucketOfTheirUpperBound) {
  CGatewayMetrics metrics;
  for (double d : {0.0, 0.005, 0.0051, 1.0, 10.0, 10.5, -1.0}) {
    metrics.UploadAttempt(d);
  }
  const MetricsSnapshot snapshot = metrics.Snapshot();
  EXPECT_EQ(snapshot.unUploadAttempts, 7u);
  EXPECT_EQ(snapshot.arrUploadBuckets[0], 3u);  // 0, 0.005 and the negative one, as 0
  EXPECT_EQ(snapshot.arrUploadBuckets[1], 1u);  // 0.0051 <= 0.01
  EXPECT_EQ(snapshot.arrUploadBuckets[7], 1u);  // 1.0 <= 1
  EXPECT_EQ(snapshot.arrUploadBuckets[10], 1u);  // 10.0 <= 10
  EXPECT_EQ(snapshot.arrUploadBuckets[11], 1u);  // above every bound
  EXPECT_DOUBLE_EQ(snapshot.dUploadSecondsSum, 0.005 + 0.0051 + 1.0 + 10.0 + 10.5);
}

TEST(GatewayMetricsTest, RefusalsSpanFromTheFirstToTheLastSinceTheLastDelivery) {
  CGatewayMetrics metrics;
  EXPECT_EQ(metrics.Snapshot().nRefusingForS, -1);
  metrics.RecordRefused();
  // One refusal spans nothing: a quiet site with one refused record is not refusing everything.
  EXPECT_EQ(metrics.Snapshot().nRefusingForS, 0);
  metrics.RecordRefused();
  EXPECT_GE(metrics.Snapshot().nRefusingForS, 0);
  metrics.RecordDelivered();
  EXPECT_EQ(metrics.Snapshot().nRefusingForS, -1);
  EXPECT_GT(metrics.Snapshot().nLastDeliveryS, 0);
}
