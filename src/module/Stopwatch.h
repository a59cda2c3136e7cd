// A process-wide diagnostic stopwatch that times one operation in milliseconds.
//
// There is one start mark for the whole process: a start overwrites the mark of any earlier
// start, from any thread, and every stop measures from the latest start. The counter frequency
// is read once, on the first call of either kind. Calls from several threads are free of data
// races (the three fields are atomics) but not ordered: two operations timed at once disturb one
// another's figure, which only ever feeds a diagnostic text.
#pragma once

#include "platform/com/HString.h"

#include <cstdint>

namespace Korvane::Native {

// With `start` set: takes a new start mark and returns 0.
// With `start` clear: returns the milliseconds elapsed since the start mark (counter value 0 when
// no start was ever taken), truncated toward zero; a figure outside the 32-bit range (or none,
// as when no frequency is known) gives INT32_MIN, the value a processor's conversion gives for
// an unrepresentable number. When `log` is set it also composes the diagnostic text
// `label + " time_difference=" + milliseconds` and drops it: the component writes no log.
// Throws only if composing that text fails (out of memory).
int32_t MeasureTime(bool start, bool log, const Platform::String& label);

}  // namespace Korvane::Native
