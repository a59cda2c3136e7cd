// The reader state of a VideoDecoder. Transitions happen where they are written (see the
// comments at each `State =` in the decoder's sources); the full table:
//
//   Opening   --first sample, scan planned-------------------> Scanning
//   Opening   --first sample, no scan needed-----------------> ScanJump (flush to the end)
//   Scanning  --ScanNext decides to jump---------------------> ScanJump
//   ScanJump  --sample after the jump------------------------> Scanning
//   Opening/Scanning/ScanJump --end of stream----------------> Ready (Initialized)
//   ScanJump  --flush completion whose seek fails------------> Ready (Initialized)
//   Opening/Scanning/ScanJump --reader error-----------------> Failed (Initialized cleared)
//   Ready/CachingJump/Caching --reader error-----------------> Failed
//   Ready     --request for a new position-------------------> Caching | CachingJump | Ready
//   any caching step --continuation / jump-------------------> Caching / CachingJump
//   CachingJump/Caching --window cached----------------------> Ready
//   Ready and above --end of stream--------------------------> Ready, then on
//   any but ScanJump/Closed --flush completion, seek fails---> Ready, then on
//   any but Closed --exception in a callback or a request----> Ready (OnError(0))
//   any --Close----------------------------------------------> Closed
//   Closed --Reopen with a new reader------------------------> Ready (a failed Reopen stays Closed)
//   Closed --Load (before the scan has ended)----------------> Opening
// Closed is final for the reader it closed: callbacks look at the state under the decoder's
// Lock and do nothing once it is Closed.
#pragma once

#include <cstdint>

namespace korvane {

enum class DecoderState : uint32_t {
  Opening = 0,      // reader opened; waiting for the first sample
  Scanning = 1,     // initial scan: reading and caching frames
  ScanJump = 2,     // initial scan: a jump (flush and seek) is under way
  Ready = 3,        // no read outstanding on behalf of a request
  CachingJump = 4,  // caching for a request: a jump is under way
  Caching = 5,      // caching for a request: reading forward
  Closed = 6,       // Close has begun; callbacks are ignored
  Failed = 7,       // the reader reported an error
};

}  // namespace korvane
