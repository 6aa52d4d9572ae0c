#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/thread/mutex.hpp>
#include <boost/unordered_map.hpp>

// The readers that may connect to the device port (DEVICE.ALLOW): IPv4 addresses and networks,
// "192.168.10.0/24,10.0.0.7". An empty list allows every address. The list is set at start-up and
// again by a reload while the accept thread asks it; it and the record of refusals lock
// themselves.
class CDeviceAllowList {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr uint32_t kReportPeriodS = 60;  // one run-log line per address per minute
  static constexpr size_t kReportCapacity = 256;  // addresses remembered for that

  // Takes the list: entries separated by commas, blanks around them ignored; an entry is a
  // dotted quad, optionally followed by "/" and a prefix length from 0 to 32 (host bits are
  // ignored). False, with the list unchanged and *pstrError naming the entry, when an entry is
  // not of that form.
  bool Parse(const std::string& strText, std::string* pstrError);
  bool IsEmpty() const;
  size_t Size() const;

  // Whether a reader at the address (text as the socket gives it) may connect. Anything that is
  // not an IPv4 address is refused by a non-empty list.
  bool Allows(const std::string& strAddress) const;

  // A refused connection from the address: true when it is to be logged now (the first in a
  // minute), with *punRefused the refusals since the last line (this one included).
  bool NoteRefusal(const std::string& strAddress, Clock::time_point tmNow, uint32_t* punRefused);

 private:
  struct Network {
    uint32_t unAddress;  // host order, host bits cleared
    uint32_t unMask;
  };
  struct Report {
    Clock::time_point tmLogged;
    uint32_t unRefused = 0;
  };
  mutable boost::mutex m_mtxNetworks;
  std::vector<Network> m_arrNetworks;  // m_mtxNetworks
  boost::mutex m_mtxReports;
  boost::unordered_map<std::string, Report> m_mapReports;
};

// A dotted quad to a host-order number; false when the text is not one.
bool ParseIpv4(const std::string& strText, uint32_t* punAddress);
