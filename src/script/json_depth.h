// A bound on how deeply JSON text nests, checked before it is parsed: parsers and the code that walks their trees
// recurse once per level, so untrusted text nested deeply enough would exhaust the stack.
#pragma once

#include <cstddef>
#include <string_view>

namespace velpic {

// Whether text's arrays and objects nest deeper than bound, read over its bytes without building anything
// (strings skipped), stopping as soon as the bound is passed. Text that is no JSON is simply scanned.
bool json_nested_deeper_than(std::string_view text, std::size_t bound);

} // namespace velpic
