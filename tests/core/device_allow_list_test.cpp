#include "core/device_allow_list.h"

#include <string>

#include <gtest/gtest.h>

TEST(DeviceAllowListTest, AddressesAndNetworks) {
  struct Row {
    const char* szList;
    const char* szAddress;
    bool bAllowed;
  } rows[] = {
      {"", "203.0.113.9", true},
      {"  ", "203.0.113.9", true},
      {"192.168.10.0/24,10.0.0.7", "192.168.10.1", true},
      {"192.168.10.0/24,10.0.0.7", "192.168.10.255", true},
      {"192.168.10.0/24,10.0.0.7", "192.168.11.1", false},
      {"192.168.10.0/24,10.0.0.7", "10.0.0.7", true},
      {"192.168.10.0/24,10.0.0.7", "10.0.0.8", false},
      {"192.168.10.0/24, 10.0.0.7 ", "10.0.0.7", true},
      {"192.168.10.77/24", "192.168.10.3", true},  // host bits of a network are ignored
      {"10.0.0.0/8", "10.200.1.1", true},
      {"0.0.0.0/0", "198.51.100.1", true},
      {"127.0.0.2/32", "127.0.0.1", false},
      {"127.0.0.2", "::1", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.szList) + " / " + r.szAddress);
    CDeviceAllowList list;
    std::string strError;
    ASSERT_TRUE(list.Parse(r.szList, &strError)) << strError;
    EXPECT_EQ(list.Allows(r.szAddress), r.bAllowed);
  }
}

TEST(DeviceAllowListTest, EntriesThatAreNoAddressAreRefusedWhole) {
  for (const char* szList : {"192.168.10.0/33", "192.168.10/24", "10.0.0.256", "10.0.0.7,",
                             "host.example", "10.0.0.7/", "10.0.0.7/-1", "1.2.3.4.5",
                             "10.0.0.7;10.0.0.8", "010.0.0.7/8/8"}) {
    SCOPED_TRACE(szList);
    CDeviceAllowList list;
    ASSERT_TRUE(list.Parse("10.0.0.1", nullptr));
    std::string strError;
    EXPECT_FALSE(list.Parse(szList, &strError));
    EXPECT_FALSE(strError.empty());
    EXPECT_EQ(list.Size(), 1u);  // unchanged
  }
}

TEST(DeviceAllowListTest, RefusalsAreNamedOncePerAddressPerMinute) {
  CDeviceAllowList list;
  const CDeviceAllowList::Clock::time_point tm0 = CDeviceAllowList::Clock::now();
  uint32_t unRefused = 0;
  EXPECT_TRUE(list.NoteRefusal("10.0.0.9", tm0, &unRefused));
  EXPECT_EQ(unRefused, 1u);
  for (int i = 1; i < 10; ++i) {
    EXPECT_FALSE(list.NoteRefusal("10.0.0.9", tm0 + std::chrono::seconds(i), &unRefused));
  }
  EXPECT_TRUE(list.NoteRefusal("10.0.0.10", tm0 + std::chrono::seconds(10), &unRefused));
  EXPECT_TRUE(list.NoteRefusal("10.0.0.9", tm0 + std::chrono::seconds(60), &unRefused));
  EXPECT_EQ(unRefused, 10u);
  // Many addresses: the record stays bounded and each new one is still named.
  for (int i = 0; i < 1000; ++i) {
    EXPECT_TRUE(list.NoteRefusal("172.16." + std::to_string(i / 256) + "." +
                                     std::to_string(i % 256),
                                 tm0 + std::chrono::seconds(61), &unRefused));
  }
}
