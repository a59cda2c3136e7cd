// Activation of the platform's own runtime classes by name, as the runtime's RoActivateInstance
// and RoGetActivationFactory do for system classes. The platform knows one activatable class:
// "Windows.Storage.Streams.InMemoryRandomAccessStream". Any other name answers
// REGDB_E_CLASSNOTREG; a null or empty name E_INVALIDARG; a null out-parameter E_POINTER.
// The component's own classes are activated through its module, not here.
//
// Threads: callable from any thread. Each call makes a new object; factories are agile and
// stateless.
#pragma once

#include "platform/com/WinRtInterfaces.h"

// The default interface of a new instance (IRandomAccessStream for the in-memory stream), as
// IInspectable; the caller owns the reference.
HRESULT RoActivateInstance(HSTRING activatableClassId, IInspectable** instance);

// The class's activation factory, asked for `iid` (IActivationFactory, or anything else it
// answers).
HRESULT RoGetActivationFactory(HSTRING activatableClassId, REFIID iid, void** factory);

namespace korvane::winrt {

inline constexpr char kInMemoryRandomAccessStreamClassName[] = "Windows.Storage.Streams.InMemoryRandomAccessStream";

}  // namespace korvane::winrt
