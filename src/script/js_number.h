// Numbers written the way JavaScript's Number.prototype.toString() writes them.
#pragma once

#include <string>

namespace velpic {

// Shortest digits that read back as the same double; plain notation for exponents from -7 to 20, otherwise
// "1e+21" / "1.5e-7" style. NaN -> "NaN", infinities -> "Infinity" / "-Infinity", -0 -> "0".
std::string js_number_text(double value);

} // namespace velpic
