// Branch traces of the reader-positioning logic ("UpdateReaderPosition[Need to jump]", ...).
// They are composed where a branch is taken, which keeps the branch names greppable and lets a
// debugger break on them, but the component has no log: the text is dropped here on purpose.
#pragma once

#include <string>

namespace korvane {

inline void Trace(const std::string& text) { static_cast<void>(text); }

}  // namespace korvane
