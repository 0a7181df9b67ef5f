// md4c reports a destination as resolved text, not as a place in the input. When it needed no resolving (no
// backslash escape, no character reference) md4c hands out a pointer into the input itself, and its offset is
// exact. Otherwise the place is looked for in the text from where the parser was when it reported the image:
// the "](" after the image's description, or else the reference definition whose destination reads the same.
#include "notes/markdown_references.h"

#include "notes/destination_text.h"
#include "notes/html_tags.h"

#include <md4c.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <set>
#include <utility>

namespace velpic {

namespace {

using Range = std::pair<std::size_t, std::size_t>;

struct Placement {
    std::size_t begin = std::string_view::npos;
    std::size_t end = 0;
    bool angle = false;
};

class Walker {
public:
    Walker(std::string_view text, bool with_links) : text_(text), with_links_(with_links) {}

    MarkdownReferences run() {
        MD_PARSER parser{};
        parser.abi_version = 0;
        // Tables and strikethrough as GitHub writes them, so pictures in tables are found; bare web addresses
        // become links, so that relinking finds them in running text.
        parser.flags = MD_FLAG_TABLES | MD_FLAG_STRIKETHROUGH | MD_FLAG_TASKLISTS | MD_FLAG_PERMISSIVEURLAUTOLINKS;
        parser.enter_block = [](MD_BLOCKTYPE, void*, void* self) { return static_cast<Walker*>(self)->boundary(); };
        parser.leave_block = [](MD_BLOCKTYPE, void*, void* self) { return static_cast<Walker*>(self)->boundary(); };
        parser.enter_span = [](MD_SPANTYPE type, void* detail, void* self) {
            return static_cast<Walker*>(self)->enter_span(type, detail);
        };
        parser.leave_span = [](MD_SPANTYPE type, void*, void* self) {
            return static_cast<Walker*>(self)->leave_span(type);
        };
        parser.text = [](MD_TEXTTYPE type, const MD_CHAR* data, MD_SIZE size, void* self) {
            return static_cast<Walker*>(self)->on_text(type, data, size);
        };
        if (md_parse(text_.data(), static_cast<MD_SIZE>(text_.size()), &parser, this) != 0) {
            MarkdownReferences failed;
            failed.parsed = false;
            return failed;
        }
        boundary();
        // Placed only now that every code range is known: a definition may come after the image, inside code.
        for (const auto& [span, cursor] : pending_) {
            const Placement placement = place(span, cursor);
            if (placement.begin == std::string_view::npos) {
                NoteReference lost;
                lost.offset = std::max(span.cursor_at_enter, cursor); // within or just before the image
                lost.placed = false;
                lost.image = span.image;
                lost.target = decode_character_references(span.resolved);
                result_.unplaced.push_back(std::move(lost));
            } else
                add(placement.begin, placement.end, span);
        }
        std::stable_sort(result_.found.begin(), result_.found.end(),
                         [](const NoteReference& a, const NoteReference& b) { return a.offset < b.offset; });
        // The same definition reached by two images, or an autolink reported twice, is one place.
        auto same = [](const NoteReference& a, const NoteReference& b) { return a.offset == b.offset; };
        result_.found.erase(std::unique(result_.found.begin(), result_.found.end(), same), result_.found.end());
        return std::move(result_);
    }

private:
    struct OpenSpan {
        std::string resolved; // md4c's text of the destination: escapes removed, references still raw
        bool image = true;
        std::size_t cursor_at_enter = 0;
        bool placed = false;
        bool wanted = true; // a link while links are not looked for is only followed, for where it ends
        std::size_t inline_end = std::string_view::npos; // end of its destination when written inline, "](dest"
    };

    // The offset of [data, data + size) in the text, or npos when md4c made the bytes itself.
    std::size_t offset_of(const MD_CHAR* data, std::size_t size) const {
        const auto begin = reinterpret_cast<std::uintptr_t>(text_.data());
        const auto at = reinterpret_cast<std::uintptr_t>(data);
        if (data == nullptr || at < begin || at + size > begin + text_.size())
            return std::string_view::npos;
        return static_cast<std::size_t>(at - begin);
    }

    // Whether the destination at offset follows "(" (blanks, one line end and "<" aside), as inline ones do.
    bool is_inline_destination(std::size_t offset) const {
        std::size_t i = offset;
        if (i > 0 && text_[i - 1] == '<')
            --i;
        while (i > 0 && (text_[i - 1] == ' ' || text_[i - 1] == '\t' || text_[i - 1] == '\n' || text_[i - 1] == '\r'))
            --i;
        return i > 0 && text_[i - 1] == '(';
    }

    bool in_code(std::size_t offset) const {
        auto after = std::upper_bound(code_.begin(), code_.end(), Range{offset, std::string_view::npos});
        return after != code_.begin() && offset < std::prev(after)->second;
    }

    // The raw HTML seen since the last boundary (a block's lines, or one inline tag over several lines).
    int boundary() {
        if (html_begin_ != std::string_view::npos)
            find_html_references(text_, html_begin_, html_end_, with_links_, result_.found);
        html_begin_ = std::string_view::npos;
        return 0;
    }

    int on_text(MD_TEXTTYPE type, const MD_CHAR* data, MD_SIZE size) {
        const std::size_t offset = offset_of(data, size);
        if (type == MD_TEXT_HTML) {
            // The line ends between the lines of a block are md4c's own bytes: they do not end the HTML.
            if (offset != std::string_view::npos) {
                if (html_begin_ == std::string_view::npos)
                    html_begin_ = offset;
                html_end_ = offset + size;
            }
            return 0;
        }
        boundary();
        if (offset == std::string_view::npos)
            return 0;
        if (autolink_check_ != kNone) {
            NoteReference& link = result_.found[autolink_check_];
            if (link.offset == offset) {
                link.form = ReferenceForm::plain_text;
                link.target.assign(text_.substr(link.offset, link.length));
            }
            autolink_check_ = kNone;
        }
        if (type == MD_TEXT_CODE && size > 0)
            code_.emplace_back(offset, offset + size);
        if (type == MD_TEXT_NORMAL && with_links_ && open_.empty() && size > 0)
            result_.prose.emplace_back(offset, offset + size);
        cursor_ = std::max(cursor_, offset + size);
        return 0;
    }

    int enter_span(MD_SPANTYPE type, void* detail) {
        boundary();
        const MD_ATTRIBUTE* attribute = nullptr;
        if (type == MD_SPAN_IMG)
            attribute = &static_cast<MD_SPAN_IMG_DETAIL*>(detail)->src;
        else if (type == MD_SPAN_A)
            attribute = &static_cast<MD_SPAN_A_DETAIL*>(detail)->href;
        if (attribute == nullptr)
            return 0;
        if (type == MD_SPAN_A && !with_links_) {
            // Not wanted, but where it ends still tells where an image around it continues.
            OpenSpan link;
            link.wanted = false;
            link.placed = true;
            const std::size_t offset = offset_of(attribute->text, attribute->size);
            if (offset != std::string_view::npos && attribute->size > 0 && is_inline_destination(offset))
                link.inline_end = offset + attribute->size;
            open_.push_back(std::move(link));
            return 0;
        }
        OpenSpan span;
        span.image = type == MD_SPAN_IMG;
        span.resolved.assign(attribute->text, attribute->size);
        span.cursor_at_enter = cursor_;
        if (!span.resolved.empty()) {
            const std::size_t offset = offset_of(attribute->text, attribute->size);
            if (offset != std::string_view::npos) {
                add(offset, offset + attribute->size, span);
                span.placed = true;
                if (is_inline_destination(offset))
                    span.inline_end = offset + attribute->size;
                // An autolink's text is its address, the very same bytes: written there, escapes do not apply.
                if (!span.image)
                    autolink_check_ = result_.found.size() - 1;
            }
        } else {
            span.placed = true; // nothing to rewrite in an empty destination
        }
        open_.push_back(std::move(span));
        return 0;
    }

    int leave_span(MD_SPANTYPE type) {
        boundary();
        autolink_check_ = kNone;
        if (type != MD_SPAN_IMG && type != MD_SPAN_A)
            return 0;
        if (open_.empty())
            return 0;
        OpenSpan span = std::move(open_.back());
        open_.pop_back();
        // A span nested in an image's description ends before the image's own "](": searching for that starts
        // after the nested destination, not at the nested "](".
        if (span.inline_end != std::string_view::npos)
            cursor_ = std::max(cursor_, span.inline_end);
        if (!span.placed)
            pending_.emplace_back(std::move(span), cursor_);
        return 0;
    }

    void add(std::size_t begin, std::size_t end, const OpenSpan& span) {
        NoteReference reference;
        reference.offset = begin;
        reference.length = end - begin;
        const bool angle = begin > 0 && text_[begin - 1] == '<' && end < text_.size() && text_[end] == '>';
        reference.form = angle ? ReferenceForm::angle_destination : ReferenceForm::markdown_destination;
        reference.image = span.image;
        claimed_.insert(begin);
        reference.target = decode_markdown_destination(text_.substr(begin, end - begin));
        result_.found.push_back(std::move(reference));
    }

    // A link destination starting at i (after "(" or "]:" and blanks): "<...>" or bare with balanced parentheses.
    Placement destination_at(std::size_t i) const {
        Placement placement;
        if (i >= text_.size())
            return placement;
        if (text_[i] == '<') {
            for (std::size_t j = i + 1; j < text_.size(); ++j) {
                const char c = text_[j];
                if (c == '\\' && j + 1 < text_.size()) {
                    ++j;
                } else if (c == '>') {
                    placement = {i + 1, j, true};
                    return placement;
                } else if (c == '<' || c == '\n' || c == '\r') {
                    return placement;
                }
            }
            return placement;
        }
        int depth = 0;
        std::size_t j = i;
        for (; j < text_.size(); ++j) {
            const auto c = static_cast<unsigned char>(text_[j]);
            if (c == '\\' && j + 1 < text_.size() && text_[j + 1] != '\n' && text_[j + 1] != '\r') {
                ++j;
                continue;
            }
            if (c <= 0x20 || c == 0x7F)
                break;
            if (c == '(')
                ++depth;
            if (c == ')' && depth-- == 0)
                break;
        }
        if (j > i)
            placement = {i, j, false};
        return placement;
    }

    std::size_t skip_blanks(std::size_t i, bool one_line_end) const {
        while (i < text_.size() && (text_[i] == ' ' || text_[i] == '\t'))
            ++i;
        if (one_line_end && i < text_.size() && (text_[i] == '\n' || text_[i] == '\r')) {
            i += text_.compare(i, 2, "\r\n") == 0 ? 2 : 1;
            while (i < text_.size() && (text_[i] == ' ' || text_[i] == '\t' || text_[i] == '>'))
                ++i;
        }
        return i;
    }

    // Where a line's content starts after the marks of the blocks it is in: indentation, ">" of quotes, and the
    // bullets ("-", "*", "+") and numbers ("1.", "2)") of list items, however nested.
    std::size_t after_container_marks(std::size_t i) const {
        while (i < text_.size()) {
            const char c = text_[i];
            if (c == ' ' || c == '\t' || c == '>') {
                ++i;
                continue;
            }
            std::size_t j = i;
            if (c == '-' || c == '*' || c == '+') {
                ++j;
            } else {
                while (j < text_.size() && j - i < 9 && text_[j] >= '0' && text_[j] <= '9')
                    ++j;
                if (j == i || j >= text_.size() || (text_[j] != '.' && text_[j] != ')'))
                    return i;
                ++j;
            }
            if (j >= text_.size() || (text_[j] != ' ' && text_[j] != '\t'))
                return i;
            i = j;
        }
        return i;
    }

    bool reads_as(const Placement& placement, const std::string& resolved) const {
        return placement.begin != std::string_view::npos && !in_code(placement.begin) &&
               remove_backslash_escapes(text_.substr(placement.begin, placement.end - placement.begin)) == resolved;
    }

    // cursor: where the parser was when the span ended, i.e. after the last text of its description.
    Placement place(const OpenSpan& span, std::size_t cursor) const {
        // An inline destination: the first "]" after the description, then "(".
        const std::size_t from = std::max(cursor, span.cursor_at_enter);
        for (std::size_t i = from; i < text_.size(); ++i) {
            if (text_[i] == '\\') {
                ++i;
                continue;
            }
            if (text_[i] != ']')
                continue;
            if (i + 1 < text_.size() && text_[i + 1] == ':')
                continue; // the label of a definition, which the parser reports no text of
            if (i + 1 < text_.size() && text_[i + 1] == '(') {
                const Placement placement = destination_at(skip_blanks(i + 2, true));
                // The same address may stand in an earlier image that the parser was no further than: that one
                // is placed already, and the search goes on past it.
                if (reads_as(placement, span.resolved) && claimed_.count(placement.begin) != 0) {
                    i = placement.end;
                    continue;
                }
                if (reads_as(placement, span.resolved))
                    return placement;
            }
            break;
        }
        // A reference: the first definition outside code whose destination reads the same.
        for (std::size_t line = 0; line < text_.size();) {
            const std::size_t i = after_container_marks(line);
            if (i < text_.size() && text_[i] == '[') {
                for (std::size_t j = i + 1; j < text_.size() && text_[j] != '\n'; ++j) {
                    if (text_[j] == '\\') {
                        ++j;
                        continue;
                    }
                    if (text_[j] == ']') {
                        if (j + 1 < text_.size() && text_[j + 1] == ':') {
                            const Placement placement = destination_at(skip_blanks(j + 2, true));
                            if (reads_as(placement, span.resolved))
                                return placement;
                        }
                        break;
                    }
                }
            }
            const std::size_t next = text_.find('\n', line);
            line = next == std::string_view::npos ? text_.size() : next + 1;
        }
        // An autolink is its own text.
        if (!span.image) {
            const std::size_t at = text_.find(span.resolved, span.cursor_at_enter);
            if (at != std::string_view::npos && !in_code(at))
                return {at, at + span.resolved.size(), false};
        }
        return {};
    }

    std::string_view text_;
    bool with_links_;
    MarkdownReferences result_;
    std::vector<Range> code_; // in text order
    std::vector<OpenSpan> open_;
    std::set<std::size_t> claimed_;                         // where the destinations found so far begin
    std::vector<std::pair<OpenSpan, std::size_t>> pending_; // spans to place after the parse, with their cursor
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::size_t autolink_check_ = kNone; // the link just entered, until its first text tells whether it is an autolink
    std::size_t cursor_ = 0;             // end of the furthest text md4c reported from the input
    std::size_t html_begin_ = std::string_view::npos;
    std::size_t html_end_ = 0;
};

} // namespace

MarkdownReferences find_markdown_references(std::string_view text, bool with_links) {
    return Walker(text, with_links).run();
}

} // namespace velpic
