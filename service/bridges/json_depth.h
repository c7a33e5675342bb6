// A bound on the nesting of a JSON answer, checked on its text before it is
// parsed: a hostile answer of nothing but brackets never builds a deep tree
// (which costs time to build and to free, not stack: nlohmann does neither
// by recursion).
//
// Threads: pure; any thread.
#pragma once

#include <cstddef>
#include <string>

namespace bridges {

// Whether body nests [ and { (outside strings) deeper than max.
bool json_too_deep(const std::string& body, size_t max);

}  // namespace bridges
