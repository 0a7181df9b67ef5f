// Text operations on header blocks (lines joined by CR LF) and cookie lists ("; "-separated name=value items)
// shared by both request routines. Positions are 1-based GBK byte positions; searches are case-exact by default.
#pragma once

#include <string>
#include <string_view>

namespace velpic {

// Upper-cases the first ASCII letter of every "-"-separated piece of each header name; lines without ":" are
// dropped and the result does not end in CR LF.
std::string capitalize_header_names(std::string_view block);

// Value of the first line that starts with `name` (case-exact): the text after the last `name` + ": " in it.
std::string header_value(std::string_view block, std::string_view name);

// Text between the first start marker found from `start` (below 1 counts as 1) and the next end marker.
std::string text_between(std::string_view text, std::string_view start_marker, std::string_view end_marker,
                         long start = 1, bool ignore_case = false);

// Empty when the marker does not occur.
std::string text_before(std::string_view text, std::string_view marker);
std::string text_after_last(std::string_view text, std::string_view marker);

// Newer values win, cookies only the older list knows follow the newer ones, "=deleted" cookies disappear
// and repeated items are kept once.
std::string merge_cookie_lists(std::string_view older, std::string_view newer);

} // namespace velpic
