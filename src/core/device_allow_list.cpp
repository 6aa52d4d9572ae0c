#include "core/device_allow_list.h"

#include <cctype>

#include "config/config_store.h"

bool ParseIpv4(const std::string& strText, uint32_t* punAddress) {
  uint32_t unAddress = 0;
  size_t i = 0;
  for (int nPart = 0; nPart < 4; ++nPart) {
    if (nPart > 0) {
      if (i >= strText.size() || strText[i] != '.') {
        return false;
      }
      ++i;
    }
    size_t unDigits = 0;
    uint32_t unPart = 0;
    while (i < strText.size() && std::isdigit(static_cast<unsigned char>(strText[i])) &&
           unDigits < 4) {
      unPart = unPart * 10 + static_cast<uint32_t>(strText[i] - '0');
      ++i;
      ++unDigits;
    }
    if (unDigits == 0 || unDigits > 3 || unPart > 255) {
      return false;
    }
    unAddress = (unAddress << 8) | unPart;
  }
  if (i != strText.size()) {
    return false;
  }
  *punAddress = unAddress;
  return true;
}

bool CDeviceAllowList::Parse(const std::string& strText, std::string* pstrError) {
  std::vector<Network> arrNetworks;
  size_t unStart = 0;
  while (unStart <= strText.size()) {
    size_t unComma = strText.find(',', unStart);
    if (unComma == std::string::npos) {
      unComma = strText.size();
    }
    const std::string strEntry = TrimText(strText.substr(unStart, unComma - unStart));
    unStart = unComma + 1;
    if (strEntry.empty()) {
      if (unComma == strText.size() && arrNetworks.empty() && TrimText(strText).empty()) {
        break;  // the whole list is empty: every address
      }
      if (pstrError != nullptr) {
        *pstrError = "an empty entry";
      }
      return false;
    }
    const size_t unSlash = strEntry.find('/');
    uint32_t unAddress = 0;
    uint32_t unPrefix = 32;
    bool bOk = ParseIpv4(strEntry.substr(0, unSlash), &unAddress);
    if (bOk && unSlash != std::string::npos) {
      const std::string strPrefix = strEntry.substr(unSlash + 1);
      bOk = !strPrefix.empty() && strPrefix.size() <= 2 &&
            strPrefix.find_first_not_of("0123456789") == std::string::npos &&
            (unPrefix = static_cast<uint32_t>(std::stoul(strPrefix))) <= 32;
    }
    if (!bOk) {
      if (pstrError != nullptr) {
        *pstrError = "\"" + strEntry + "\" is not an address or network";
      }
      return false;
    }
    const uint32_t unMask = unPrefix == 0 ? 0 : 0xFFFFFFFFu << (32 - unPrefix);
    arrNetworks.push_back(Network{unAddress & unMask, unMask});
  }
  boost::mutex::scoped_lock lock(m_mtxNetworks);
  m_arrNetworks.swap(arrNetworks);
  return true;
}

bool CDeviceAllowList::IsEmpty() const {
  boost::mutex::scoped_lock lock(m_mtxNetworks);
  return m_arrNetworks.empty();
}

size_t CDeviceAllowList::Size() const {
  boost::mutex::scoped_lock lock(m_mtxNetworks);
  return m_arrNetworks.size();
}

bool CDeviceAllowList::Allows(const std::string& strAddress) const {
  uint32_t unAddress = 0;
  const bool bIpv4 = ParseIpv4(strAddress, &unAddress);
  boost::mutex::scoped_lock lock(m_mtxNetworks);
  if (m_arrNetworks.empty()) {
    return true;
  }
  if (!bIpv4) {
    return false;
  }
  for (const Network& net : m_arrNetworks) {
    if ((unAddress & net.unMask) == net.unAddress) {
      return true;
    }
  }
  return false;
}

bool CDeviceAllowList::NoteRefusal(const std::string& strAddress, Clock::time_point tmNow,
                                   uint32_t* punRefused) {
  boost::mutex::scoped_lock lock(m_mtxReports);
  auto it = m_mapReports.find(strAddress);
  if (it == m_mapReports.end()) {
    if (m_mapReports.size() >= kReportCapacity) {
      // Forget the address logged longest ago; at worst it is logged once more within a minute.
      auto itOldest = m_mapReports.begin();
      for (auto itEntry = m_mapReports.begin(); itEntry != m_mapReports.end(); ++itEntry) {
        if (itEntry->second.tmLogged < itOldest->second.tmLogged) {
          itOldest = itEntry;
        }
      }
      m_mapReports.erase(itOldest);
    }
    Report& report = m_mapReports[strAddress];
    report.tmLogged = tmNow;
    report.unRefused = 0;
    *punRefused = 1;
    return true;
  }
  Report& report = it->second;
  ++report.unRefused;
  if (tmNow - report.tmLogged < std::chrono::seconds(kReportPeriodS)) {
    return false;
  }
  *punRefused = report.unRefused;
  report.tmLogged = tmNow;
  report.unRefused = 0;
  return true;
}
