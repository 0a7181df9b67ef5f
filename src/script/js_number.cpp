#include "script/js_number.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace velpic {

std::string js_number_text(double value) {
    if (std::isnan(value))
        return "NaN";
    if (value == 0)
        return "0";
    if (std::isinf(value))
        return value < 0 ? "-Infinity" : "Infinity";
    std::string sign;
    if (value < 0) {
        sign = "-";
        value = -value;
    }

    // The shortest round-trip form gives the digits s and the exponent; from there the layout follows
    // ECMAScript's Number::toString with k digits and decimal point position n.
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    std::string_view scientific(buffer, result.ptr - buffer);
    auto e = scientific.find('e');
    std::string digits;
    for (char c : scientific.substr(0, e))
        if (c != '.')
            digits += c;
    int exponent = std::atoi(std::string(scientific.substr(e + 1)).c_str());
    int k = static_cast<int>(digits.size());
    int n = exponent + 1;

    std::string text;
    if (k <= n && n <= 21) {
        text = digits + std::string(n - k, '0');
    } else if (0 < n && n <= 21) {
        text = digits.substr(0, n) + "." + digits.substr(n);
    } else if (-6 < n && n <= 0) {
        text = "0." + std::string(-n, '0') + digits;
    } else {
        text = digits.substr(0, 1);
        if (k > 1)
            text += "." + digits.substr(1);
        text += n - 1 < 0 ? "e-" : "e+";
        text += std::to_string(std::abs(n - 1));
    }
    return sign + text;
}

} // namespace velpic
