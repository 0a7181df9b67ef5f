#include "notes/text_addresses.h"

#include <cstring>

namespace velpic {

namespace {

// Bytes an address is made of. Quotes, brackets, blanks and non-ASCII bytes end it: they are what text puts
// around an address (HTML attributes, Markdown, Chinese punctuation).
bool is_address_byte(unsigned char c) {
    if (c <= 0x20 || c >= 0x7F)
        return false;
    return std::strchr("\"'<>()[]{}`|\\^", c) == nullptr;
}

bool is_scheme_byte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
           c == '.';
}

} // namespace

std::vector<NoteReference> find_text_addresses(std::string_view text,
                                               const std::function<bool(std::string_view)>& wanted) {
    std::vector<NoteReference> found;
    std::size_t from = 0;
    while (true) {
        const std::size_t mark = text.find("://", from);
        if (mark == std::string_view::npos)
            return found;
        std::size_t begin = mark;
        while (begin > from && is_scheme_byte(static_cast<unsigned char>(text[begin - 1])))
            --begin;
        std::size_t end = mark + 3;
        while (end < text.size() && is_address_byte(static_cast<unsigned char>(text[end])))
            ++end;
        from = end;
        if (begin == mark || end == mark + 3)
            continue;
        for (std::size_t stop = end; stop > mark + 3; --stop) {
            const std::string_view address = text.substr(begin, stop - begin);
            if (wanted(address)) {
                NoteReference reference;
                reference.offset = begin;
                reference.length = address.size();
                reference.form = ReferenceForm::plain_text;
                reference.image = false;
                reference.target = std::string(address);
                found.push_back(std::move(reference));
                break;
            }
            if (std::strchr(".,;:!?", text[stop - 1]) == nullptr)
                break;
        }
    }
}

} // namespace velpic
