// Text operations over any bytes: split and join round-trip, every match found is a real match on character
// boundaries, trim and case mapping are stable, and cut-out parts stay inside the text.
#include "fuzz_support.h"
#include "runtime/gbk_text.h"

using namespace velpic;
using velpic::fuzz::FuzzInput;

namespace {

bool is_part_of(const std::string& part, std::string_view whole) {
    return whole.find(part) != std::string_view::npos;
}

int sign(int value) {
    return (value > 0) - (value < 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096)
        return 0;
    FuzzInput input(data, size);
    const std::string_view text = input.field(0);
    const std::string_view what = input.field(1);
    const std::string_view with = input.field(2);
    const long number = input.number(3);
    const bool ignore_case = input.flag(0);

    // Split and join.
    const std::string_view separator = what.empty() ? std::string_view(",") : what;
    const std::vector<std::string> pieces = text_split(text, separator);
    std::string joined;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        joined += (i == 0 ? "" : std::string(separator)) + pieces[i];
        FUZZ_CHECK(text_find(pieces[i], separator) == -1);
    }
    FUZZ_CHECK(joined == text || joined + std::string(separator) == text);
    const std::vector<std::string> first_pieces = text_split(text, separator, number);
    FUZZ_CHECK(number < 0 || first_pieces.size() <= static_cast<std::size_t>(number));
    for (std::size_t i = 0; i < first_pieces.size(); ++i)
        FUZZ_CHECK(first_pieces[i] == pieces[i]);

    // Searches find real matches that start and end on character boundaries.
    const long found = text_find(text, what, number, ignore_case);
    if (found >= 1 && !what.empty()) {
        FUZZ_CHECK(found >= number && static_cast<std::size_t>(found - 1 + what.size()) <= text.size());
        FUZZ_CHECK(text_is_char_boundary(text, found));
        FUZZ_CHECK(text_is_char_boundary(text, found + static_cast<long>(what.size())));
        const std::string_view match = text.substr(found - 1, what.size());
        FUZZ_CHECK(ignore_case ? text_compare(match, what, false) == 0 : match == what);
    }
    const long last = text_find_backward(text, what, -1, ignore_case);
    FUZZ_CHECK((last >= 1) == (text_find(text, what, 1, ignore_case) >= 1));
    if (last >= 1 && !what.empty()) {
        FUZZ_CHECK(text_is_char_boundary(text, last));
        FUZZ_CHECK(text_find(text, what, last + 1, ignore_case) == -1);
        FUZZ_CHECK(text_find(text, what, last, ignore_case) == last);
    }

    // Replacing.
    if (!what.empty())
        FUZZ_CHECK(text_replace(text, what, what, 1, -1, true) == text);
    FUZZ_CHECK(text_replace(text, what, with, number, 0) == text);
    const std::string replaced = text_replace(text, what, with, number, -1, !ignore_case);
    FUZZ_CHECK(replaced.starts_with(text.substr(0, number > 1 ? std::min<std::size_t>(number - 1, text.size()) : 0)));

    // Trim and case.
    const std::string trimmed = text_trim(text);
    FUZZ_CHECK(is_part_of(trimmed, text) && text_trim(trimmed) == trimmed);
    FUZZ_CHECK(text_trim_left(text_trim_right(text)) == trimmed);
    const std::string upper = text_upper(text);
    FUZZ_CHECK(upper.size() == text.size() && text_lower(upper) == text_lower(text));
    FUZZ_CHECK(text_compare(upper, text_lower(text), false) == 0);
    FUZZ_CHECK(sign(text_compare(text, what, !ignore_case)) == -sign(text_compare(what, text, !ignore_case)));
    FUZZ_CHECK(text_starts_with(text, text_left(text, number)));

    // Parts stay inside the text.
    FUZZ_CHECK(text.starts_with(text_left(text, number)) && text.ends_with(text_right(text, number)));
    const std::string middle = text_middle(text, number, static_cast<long>(with.size()));
    FUZZ_CHECK(middle.size() <= with.size() && is_part_of(middle, text));
    FUZZ_CHECK(text_char_code(text, number) == (number >= 1 && static_cast<std::size_t>(number) <= text.size()
                                                    ? static_cast<unsigned char>(text[number - 1])
                                                    : 0));
    (void)text_to_integer(text);
    FUZZ_CHECK(text_up_to_nul(text) == text.substr(0, text.find('\0')));
    FUZZ_CHECK(text_repeat(number % 8, what).size() ==
               (number > 0 ? static_cast<std::size_t>(number % 8) : 0) * what.size());
    return 0;
}
