#include "mgmt/management_yield.h"

#include <algorithm>
#include <chrono>
#include <thread>

bool CManagementYield::Pause(uint32_t unMs) const {
  const auto tmEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(unMs);
  for (;;) {
    if (Requested()) {
      return false;
    }
    const auto tmNow = std::chrono::steady_clock::now();
    if (tmNow >= tmEnd) {
      return true;
    }
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        tmEnd - tmNow, std::chrono::milliseconds(10)));
  }
}
