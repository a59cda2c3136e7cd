// Damage written into a finished media file on purpose (VideoSpec's damaged packets). Internal
// to tests/support.
#pragma once

#include <string>

namespace korvane::test::detail {

// Overwrites, in place, the payload of the video packets `first` .. first + count - 1 of the
// file at path (counted from 0 in the order libavformat reads them) with pseudo-random bytes
// that are the same on every run. Throws std::runtime_error naming the path when the file
// cannot be read or written or has fewer video packets.
void DamageVideoPackets(const std::string& path, int first, int count);

}  // namespace korvane::test::detail
