// What a software device, its immediate context and its textures share: the device's lock and
// its multithread-protection switch, and the counters behind IDeviceDiagnostics. Held through a
// shared_ptr by each of them, so a texture or context that outlives the device still counts.
#pragma once

#include "platform/d3d11/DeviceDiagnostics.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace korvane::d3d11 {

class DeviceCore {
 public:
  DeviceCore() = default;
  DeviceCore(const DeviceCore&) = delete;
  DeviceCore& operator=(const DeviceCore&) = delete;

  // The lock every context call holds while the device is protected. Recursive, like the
  // original's critical section, so a thread inside ID3D10Multithread::Enter can still call the
  // context.
  std::unique_lock<std::recursive_mutex> LockIfProtected();

  // ID3D10Multithread. Leave by a thread that has not entered is refused (recorded) rather than
  // unlocking a mutex it does not own.
  void Enter();
  void Leave();
  bool SetProtected(bool value);  // returns the previous setting
  bool IsProtected() const { return protected_.load(std::memory_order_acquire); }

  void OnTextureCreated(uint64_t bytes);
  void OnTextureDestroyed(uint64_t bytes);
  void OnCopy();
  void OnFlush();
  // Counts a call refused as invalid use and keeps `message` as the latest reason.
  void Reject(std::string message);

  DeviceStatistics Statistics();
  std::string LastRejection();

 private:
  // While the device is protected: guards every texture's bytes and mapped flag against the
  // context's calls and ISoftwareTexture writers, and the order of context calls. Taken last:
  // nothing else is locked while it is held, except statsMutex_.
  std::recursive_mutex lock_;
  std::atomic<bool> protected_{false};
  // The thread inside Enter and its depth; written only by that thread while it holds lock_.
  std::atomic<std::thread::id> enterOwner_{};
  std::atomic<int> enterDepth_{0};

  std::mutex statsMutex_;
  // -- guarded by statsMutex_
  DeviceStatistics stats_;
  std::string lastRejection_;
};

}  // namespace korvane::d3d11
