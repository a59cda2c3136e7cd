#include "platform/mf/PlatformStartup.h"

#include "platform/mf/Mfapi.h"

#include <atomic>

namespace korvane::mf {

namespace {

std::atomic<int> startCount{0};

}  // namespace

HRESULT PlatformStartup::Start(ULONG version) {
  if (version != MF_VERSION) return MF_E_BAD_STARTUP_VERSION;
  startCount.fetch_add(1, std::memory_order_acq_rel);
  return S_OK;
}

HRESULT PlatformStartup::Shutdown() {
  int count = startCount.load(std::memory_order_acquire);
  while (count > 0) {
    if (startCount.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel)) return S_OK;
  }
  return MF_E_SHUTDOWN;
}

bool PlatformStartup::IsStarted() { return startCount.load(std::memory_order_acquire) > 0; }

}  // namespace korvane::mf
