// Header and cookie texts: capitalising changes nothing but letter case and is stable, every cut-out text is taken
// from the input next to its markers, and a cookie merge yields only items of its inputs, each once.
#include "fuzz_support.h"
#include "http/header_text.h"
#include "runtime/gbk_text.h"

#include <set>

using namespace velpic;
using velpic::fuzz::FuzzInput;

namespace {

bool contains(std::string_view text, const std::string& part) {
    return text.find(part) != std::string_view::npos;
}

// The items a cookie list is read as: trimmed, a trailing ";" closed with a blank, split at "; ".
std::vector<std::string> cookie_items(std::string_view list) {
    std::string text = text_trim(list);
    if (!text.empty() && text.back() == ';')
        text += ' ';
    return text_split(text, "; ");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 8192)
        return 0;
    FuzzInput input(data, size);
    const std::string_view text = input.field(0);
    const std::string first(input.field(1));
    const std::string second(input.field(2));
    const long start = input.number(3);

    const std::string capitalized = capitalize_header_names(text);
    FUZZ_CHECK(capitalized.size() <= text.size());
    FUZZ_CHECK(capitalize_header_names(capitalized) == capitalized);
    if (fuzz::is_well_formed_gbk(text))
        FUZZ_CHECK(!capitalized.ends_with("\r\n"));
    if (capitalized.size() == text.size()) // no line dropped: only letter case may differ
        FUZZ_CHECK(fuzz::ascii_folded(capitalized) == fuzz::ascii_folded(text));

    const std::string value = header_value(text, first);
    if (!value.empty())
        FUZZ_CHECK(contains(text, first + ": " + value));

    const std::string between = text_between(text, first, second, start);
    if (!between.empty())
        FUZZ_CHECK(contains(text, first + between + second));
    FUZZ_CHECK(contains(text, text_between(text, first, second, start, true)));

    const std::string before = text_before(text, first);
    FUZZ_CHECK(text.starts_with(before));
    if (!before.empty())
        FUZZ_CHECK(text.substr(before.size()).starts_with(first));
    const std::string after = text_after_last(text, first);
    FUZZ_CHECK(text.ends_with(after));
    if (!after.empty())
        FUZZ_CHECK(text.ends_with(first + after));

    // Cookies: the texts the program builds are well-formed GBK; a lone lead byte may pair with the separator.
    const std::string merged = merge_cookie_lists(first, second);
    if (fuzz::is_well_formed_gbk(first) && fuzz::is_well_formed_gbk(second)) {
        std::set<std::string> known;
        for (const std::string& item : cookie_items(first))
            known.insert(item);
        for (const std::string& item : cookie_items(second))
            known.insert(item);
        std::set<std::string> seen;
        for (const std::string& item : text_split(merged, "; ")) {
            FUZZ_CHECK(known.count(item) == 1);
            FUZZ_CHECK(seen.insert(item).second);
            FUZZ_CHECK(!item.ends_with("=deleted"));
        }
    }
    return 0;
}
