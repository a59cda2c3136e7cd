// The module's live-object count: every runtime-class instance and activation factory of the
// component adds one while it is alive. DllCanUnloadNow answers from it.
#pragma once

#include <cstdint>

namespace korvane::com {

void IncrementModuleObjectCount();
void DecrementModuleObjectCount();
int32_t ModuleObjectCount();

}  // namespace korvane::com
