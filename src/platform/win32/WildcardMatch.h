// File-name wildcard matching as the original's FindFirstFileExW applies it.
//
// The original rewrites the pattern before it matches, and so does this:
//   - "*.*" is "*" (every name, with or without a full stop);
//   - every '?' becomes a DOS question mark: one character, or nothing when it meets a full stop
//     or the end of the name ("a?" matches "a" and "ab"; "file??.txt" matches "file1.txt");
//   - a '*' followed by '.' becomes a DOS star: any characters except the name's last full stop
//     ("*.txt" matches "a.b.txt" but not "a.txt.bak");
//   - a '.' followed by '?' or '*', or ending the pattern, becomes a DOS dot: a full stop, or
//     nothing at the end of the name ("*." matches the names without a full stop).
// Any other '*' is any run of characters, any other character matches itself. Characters are
// Unicode code points decoded from UTF-8 (a byte that is not valid UTF-8 stands for itself);
// comparison folds ASCII letters unless `caseSensitive` is set, as NTFS compares names without
// regard to case. Names never contain '/'; a pattern holding one simply matches nothing.
#pragma once

#include <string_view>

namespace korvane::win32 {

bool MatchFileName(std::string_view pattern, std::string_view name, bool caseSensitive = false);

}  // namespace korvane::win32
