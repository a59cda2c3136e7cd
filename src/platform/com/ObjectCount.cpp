#include "platform/com/ObjectCount.h"

#include <atomic>

namespace korvane::com {
namespace {
std::atomic<int32_t> g_objectCount{0};
}

void IncrementModuleObjectCount() { g_objectCount.fetch_add(1, std::memory_order_relaxed); }
void DecrementModuleObjectCount() { g_objectCount.fetch_sub(1, std::memory_order_acq_rel); }
int32_t ModuleObjectCount() { return g_objectCount.load(std::memory_order_acquire); }

}  // namespace korvane::com
