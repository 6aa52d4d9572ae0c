#pragma once

#include <cstdint>
#include <functional>
#include <utility>

// When the main loop's management steps (the pool retry, the module clock synchronisation) give
// the loop back before their work is done: between modules, once a stop, a status request or a
// reload is waiting, so that the loop takes it at once whatever the modules do. The step picks
// up where it left off on its next call. The process entry installs the test of its signal
// flags; without one nothing ever yields (command-line mode, tests). Main thread only.
class CManagementYield {
 public:
  void Install(std::function<bool()> fnRequested) { m_fnRequested = std::move(fnRequested); }
  bool Requested() const { return m_fnRequested && m_fnRequested(); }
  // Sleeps up to unMs in slices of 10 ms. False, early, when a yield is requested.
  bool Pause(uint32_t unMs) const;

 private:
  std::function<bool()> m_fnRequested;
};
