// Link labels as CommonMark matches them: a reference "[x][Label]" finds the definition "[label]: …".
#pragma once

#include <string>
#include <string_view>

namespace velpic {

// The key two labels match by when equal: blanks at either end dropped and within collapsed to one, letters folded
// by Unicode's simple and full case folding, as md4c folds them. Bytes that are no UTF-8 stay apart from every
// letter.
std::u32string link_label_key(std::string_view label);

} // namespace velpic
