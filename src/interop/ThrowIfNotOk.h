// The interop and its iterators call each other through their ABI methods, which return the
// not-ready code 668 unchanged. 668 is not a failure HRESULT, so ThrowIfFailed would let it pass
// as success; every code other than S_OK is an error here.
#pragma once

#include "platform/com/Exceptions.h"

namespace korvane {

inline void ThrowIfNotOk(HRESULT hr) {
  if (hr != S_OK) ThrowHResult(hr);
}

}  // namespace korvane
