// Disposal of the front end's runtime classes runs once, from Close or from the final release
// when Close was never called; a second Close succeeds and does nothing. `disposed` is the flag
// every public method checks first, so it is set before `dispose` runs. An exception from
// `dispose` becomes the returned HRESULT.
#pragma once

#include "platform/com/Exceptions.h"

#include <atomic>

namespace korvane {

template <class Dispose>
HRESULT DisposeOnce(std::atomic<bool>& disposed, Dispose&& dispose) noexcept {
  if (disposed.exchange(true)) return S_OK;
  try {
    dispose();
    return S_OK;
  } catch (...) {
    return HResultFromCurrentException();
  }
}

}  // namespace korvane
