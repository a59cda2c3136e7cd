// The start-up count behind MFStartup / MFShutdown. Thread-safe (one atomic counter).
#pragma once

#include "platform/com/Hresult.h"

namespace korvane::mf {

class PlatformStartup {
 public:
  // MF_E_BAD_STARTUP_VERSION for a version other than MF_VERSION.
  static HRESULT Start(ULONG version);
  // MF_E_SHUTDOWN when no start is left to match.
  static HRESULT Shutdown();
  static bool IsStarted();
};

}  // namespace korvane::mf
