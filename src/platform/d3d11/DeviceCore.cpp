#include "platform/d3d11/DeviceCore.h"

#include <algorithm>

namespace korvane::d3d11 {

std::unique_lock<std::recursive_mutex> DeviceCore::LockIfProtected() {
  if (!IsProtected()) return {};
  return std::unique_lock(lock_);
}

void DeviceCore::Enter() {
  lock_.lock();
  enterOwner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  enterDepth_.fetch_add(1, std::memory_order_relaxed);
}

void DeviceCore::Leave() {
  // Only the thread that entered can see itself as the owner; for any other thread the lock is
  // not its to release.
  if (enterOwner_.load(std::memory_order_relaxed) != std::this_thread::get_id() ||
      enterDepth_.load(std::memory_order_relaxed) == 0) {
    Reject("ID3D10Multithread::Leave without a matching Enter on this thread");
    return;
  }
  if (enterDepth_.fetch_sub(1, std::memory_order_relaxed) == 1) {
    enterOwner_.store(std::thread::id{}, std::memory_order_relaxed);
  }
  lock_.unlock();
}

bool DeviceCore::SetProtected(bool value) { return protected_.exchange(value, std::memory_order_acq_rel); }

void DeviceCore::OnTextureCreated(uint64_t bytes) {
  std::lock_guard guard(statsMutex_);
  ++stats_.texturesCreated;
  ++stats_.liveTextures;
  stats_.liveBytes += bytes;
  stats_.peakTextures = std::max(stats_.peakTextures, stats_.liveTextures);
  stats_.peakBytes = std::max(stats_.peakBytes, stats_.liveBytes);
}

void DeviceCore::OnTextureDestroyed(uint64_t bytes) {
  std::lock_guard guard(statsMutex_);
  --stats_.liveTextures;
  stats_.liveBytes -= bytes;
}

void DeviceCore::OnCopy() {
  std::lock_guard guard(statsMutex_);
  ++stats_.copies;
}

void DeviceCore::OnFlush() {
  std::lock_guard guard(statsMutex_);
  ++stats_.flushes;
}

void DeviceCore::Reject(std::string message) {
  std::lock_guard guard(statsMutex_);
  ++stats_.rejectedCalls;
  lastRejection_ = std::move(message);
}

DeviceStatistics DeviceCore::Statistics() {
  std::lock_guard guard(statsMutex_);
  return stats_;
}

std::string DeviceCore::LastRejection() {
  std::lock_guard guard(statsMutex_);
  return lastRejection_;
}

}  // namespace korvane::d3d11
