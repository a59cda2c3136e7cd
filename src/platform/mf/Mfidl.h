// Presentation attributes, as the Windows SDK's mfidl.h names them.
#pragma once

#include "platform/com/Guid.h"

// UINT64: the presentation's duration in 100 ns units.
inline constexpr GUID MF_PD_DURATION{0x6C990D33, 0xBB8E, 0x477A, {0x85, 0x98, 0x0D, 0x5D, 0x96, 0xFC, 0xD8, 0x8A}};
