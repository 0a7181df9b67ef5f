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
#include <map>
#include <string>
#include <utility>

namespace velpic {

namespace {

using Range = std::pair<std::size_t, std::size_t>;

struct Placement {
    std::size_t begin = std::string_view::npos;
    std::size_t end = 0;
    bool angle = false;
};

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// A link label as labels are matched: blanks collapsed, letters in one case.
std::string label_key(std::string_view label) {
    std::string key;
    bool blank = false;
    for (const char c : label) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            blank = !key.empty();
            continue;
        }
        if (blank)
            key += ' ';
        blank = false;
        key += ascii_lower(c);
    }
    return key;
}

class Walker {
public:
    // nested: a footnote's body parsed on its own, whose own footnotes are not looked into again.
    Walker(std::string_view text, bool with_links, bool nested = false)
        : text_(text), with_links_(with_links), nested_(nested) {}

    MarkdownReferences run() {
        MD_PARSER parser{};
        parser.abi_version = 0;
        // Tables and strikethrough as GitHub writes them, so pictures in tables are found; bare web addresses
        // become links, so that relinking finds them in running text.
        parser.flags = MD_FLAG_TABLES | MD_FLAG_STRIKETHROUGH | MD_FLAG_TASKLISTS | MD_FLAG_PERMISSIVEURLAUTOLINKS |
                       MD_FLAG_PERMISSIVEEMAILAUTOLINKS | MD_FLAG_PERMISSIVEWWWAUTOLINKS;
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
        // The spans are in the order they ended, inner before outer, so an outer one's search steps over the
        // inner destinations placed before it.
        for (const auto& [span, cursor] : pending_) {
            const Placement placement = place(span, cursor);
            if (!span.shown) {
                if (placement.begin != std::string_view::npos)
                    claimed_.emplace(placement.begin, placement.end);
                continue;
            }
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
        add_embeds();
        if (!nested_) {
            add_footnote_bodies();
            add_front_matter();
        }
        std::stable_sort(result_.found.begin(), result_.found.end(),
                         [](const NoteReference& a, const NoteReference& b) { return a.offset < b.offset; });
        // One place is one reference: the same definition reached twice, and never two overlapping ranges (a
        // rewrite of both would write the bytes between them twice).
        std::vector<NoteReference> kept;
        kept.reserve(result_.found.size());
        for (NoteReference& reference : result_.found) {
            if (!kept.empty() && reference.offset < kept.back().offset + std::max<std::size_t>(kept.back().length, 1))
                continue;
            kept.push_back(std::move(reference));
        }
        result_.found = std::move(kept);
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
        bool shown = true; // false inside an image's description (alt text shows no picture) or a script
        // The stretch of the input its text came from, while it came in one piece: an autolink's own bytes.
        std::size_t text_begin = std::string_view::npos;
        std::size_t text_end = 0;
        bool text_whole = true;
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
            find_html_references(text_, html_begin_, html_end_, with_links_, result_.found, &raw_element_);
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
        if (!open_.empty()) {
            OpenSpan& span = open_.back();
            if (offset == std::string_view::npos || (span.text_begin != std::string_view::npos && offset != span.text_end))
                span.text_whole = false;
            else {
                if (span.text_begin == std::string_view::npos)
                    span.text_begin = offset;
                span.text_end = offset + size;
            }
        }
        if (offset == std::string_view::npos)
            return 0;
        if (type == MD_TEXT_NORMAL && open_.empty() && raw_element_.empty() && size > 0) {
            if (!runs_.empty() && runs_.back().second == offset)
                runs_.back().second = offset + size;
            else
                runs_.emplace_back(offset, offset + size);
        }
        if (autolink_check_ != kNone) {
            NoteReference& link = result_.found[autolink_check_];
            if (link.offset == offset) {
                link.form = ReferenceForm::plain_text;
                // In a table row md4c lets a bare address run on past the cell's "|"; its text stops where the
                // address shown does.
                if (size < link.length)
                    link.length = size;
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
        // An image in another image's description is alt text, not shown; so is anything inside a script.
        const bool hidden = !raw_element_.empty() ||
                            std::any_of(open_.begin(), open_.end(), [](const OpenSpan& open) { return open.image; });
        if ((type == MD_SPAN_A && !with_links_) || hidden) {
            // Not wanted, but where it ends still tells where a span around it continues.
            OpenSpan link;
            link.wanted = false;
            link.shown = false;
            link.image = type == MD_SPAN_IMG;
            link.resolved.assign(attribute->text, attribute->size);
            link.cursor_at_enter = cursor_;
            link.placed = attribute->size == 0;
            const std::size_t offset = offset_of(attribute->text, attribute->size);
            if (offset != std::string_view::npos && attribute->size > 0) {
                link.placed = true;
                claimed_.emplace(offset, offset + attribute->size);
                if (is_inline_destination(offset))
                    link.inline_end = offset + attribute->size;
            }
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
        if (!span.placed && !span.image && span.shown && is_autolink_text(span)) {
            // An autolink md4c copied (an escape or entity in it, or a scheme it added): its bytes are its text.
            NoteReference reference;
            reference.offset = span.text_begin;
            reference.length = span.text_end - span.text_begin;
            reference.form = ReferenceForm::plain_text;
            reference.image = false;
            // Taken literally, without the "mailto:" or "http://" md4c puts before a bare one: what is written
            // there is read back the same.
            reference.target = std::string(text_.substr(reference.offset, reference.length));
            claimed_.emplace(reference.offset, reference.offset + reference.length);
            result_.found.push_back(std::move(reference));
            return 0;
        }
        if (!span.placed)
            pending_.emplace_back(std::move(span), cursor_);
        return 0;
    }

    // Obsidian's embeds, "![[name]]" or "![[name|size]]", in running text: Markdown has no such syntax, so the
    // parser hands them over as text, and only the text it reported outside code, links and HTML is looked into.
    void add_embeds() {
        for (const auto& [begin, end] : runs_) {
            const std::string_view run = text_.substr(begin, end - begin);
            for (std::size_t at = run.find("![["); at != std::string_view::npos; at = run.find("![[", at + 1)) {
                const std::size_t close = run.find("]]", at + 3);
                if (close == std::string_view::npos)
                    break;
                const std::string_view inner = run.substr(at + 3, close - at - 3);
                std::size_t backslashes = 0;
                while (begin + at > backslashes && text_[begin + at - backslashes - 1] == '\\')
                    ++backslashes;
                if (backslashes % 2 == 1)
                    continue; // "\![[" is a "!" and a wiki link, no embed
                if (inner.empty() || inner.find_first_of("[]\n\r") != std::string_view::npos)
                    continue;
                const std::size_t bar = inner.find('|');
                const std::string_view name = inner.substr(0, bar);
                const std::string_view size = bar == std::string_view::npos ? std::string_view() : inner.substr(bar + 1);
                if (name.empty() || name.front() == '#')
                    continue; // a block of this note, no file
                std::string_view stem = name.substr(0, name.find('#'));
                stem.remove_prefix(stem.find_last_of('/') == std::string_view::npos ? 0 : stem.find_last_of('/') + 1);
                stem = stem.substr(0, stem.find_last_of('.'));
                NoteReference reference;
                reference.offset = begin + at;
                reference.length = close + 2 - at;
                reference.form = ReferenceForm::obsidian_embed;
                reference.target = std::string(name);
                reference.embed_alt = std::string(stem);
                // Obsidian's width ("200" or "200x100") is kept where Obsidian reads it in the standard form.
                if (!size.empty() && size.find_first_not_of("0123456789x") == std::string_view::npos)
                    (reference.embed_alt += '|') += size;
                result_.found.push_back(std::move(reference));
                at = close;
            }
        }
    }

    // The picture keys of YAML front matter, which blog themes show as a cover: the "---" block that opens the
    // note, read line by line for its top-level keys (the parser takes it for a rule and a heading).
    void add_front_matter() {
        std::size_t line = text_.starts_with("\xEF\xBB\xBF") ? 3 : 0;
        auto line_end = [&](std::size_t at) {
            const std::size_t end = text_.find('\n', at);
            return end == std::string_view::npos ? text_.size() : end;
        };
        auto content = [&](std::size_t at) {
            std::string_view row = text_.substr(at, line_end(at) - at);
            if (row.ends_with('\r'))
                row.remove_suffix(1);
            return row;
        };
        if (content(line) != "---")
            return;
        std::vector<NoteReference> values;
        for (line = line_end(line) + 1; line < text_.size() && line < 65536; line = line_end(line) + 1) {
            const std::string_view row = content(line);
            if (row == "---" || row == "...") {
                for (NoteReference& value : values)
                    result_.found.push_back(std::move(value));
                return;
            }
            const std::size_t colon = row.find(':');
            if (colon == std::string_view::npos)
                continue;
            const std::string_view key = row.substr(0, colon);
            if (key != "cover" && key != "thumbnail" && key != "image" && key != "featured_image" && key != "banner")
                continue;
            std::size_t begin = colon + 1;
            while (begin < row.size() && (row[begin] == ' ' || row[begin] == '\t'))
                ++begin;
            std::size_t end = row.size();
            while (end > begin && (row[end - 1] == ' ' || row[end - 1] == '\t'))
                --end;
            if (end > begin + 1 && (row[begin] == '"' || row[begin] == '\'') && row[end - 1] == row[begin]) {
                ++begin;
                --end;
            } else if (row.substr(begin, end - begin).find(" #") != std::string_view::npos) {
                end = begin + row.substr(begin, end - begin).find(" #"); // a comment after the value
            }
            const std::string_view value = row.substr(begin, end - begin);
            if (value.empty() || value.find_first_of("\"'\\") != std::string_view::npos)
                continue; // escapes of YAML's own: not read here
            NoteReference reference;
            reference.offset = line + begin;
            reference.length = value.size();
            reference.form = ReferenceForm::yaml_value;
            reference.target = std::string(value);
            values.push_back(std::move(reference));
        }
    }

    // GFM footnotes: md4c knows none, so a footnote's indented continuation paragraphs read as indented code to
    // it. Each definition's indented lines are parsed again on their own, their indentation taken off, and what
    // is found there is mapped back to the note's bytes.
    void add_footnote_bodies() {
        std::size_t line = 0;
        while (line < text_.size()) {
            std::size_t next = text_.find('\n', line);
            next = next == std::string_view::npos ? text_.size() : next + 1;
            std::size_t i = line;
            while (i < next && i - line < 3 && text_[i] == ' ')
                ++i;
            const bool starts = text_.compare(i, 2, "[^") == 0 && !in_code(i) && [&] {
                const std::size_t close = text_.find(']', i + 2);
                return close != std::string_view::npos && close < next && close > i + 2 && close + 1 < next &&
                       text_[close + 1] == ':';
            }();
            line = next;
            if (!starts)
                continue;
            std::string body;
            std::vector<std::size_t> origin;
            while (line < text_.size()) {
                std::size_t end = text_.find('\n', line);
                end = end == std::string_view::npos ? text_.size() : end + 1;
                std::size_t content = line;
                while (content < end && (text_[content] == ' ' || text_[content] == '\t'))
                    ++content;
                const bool blank = content >= end || text_[content] == '\n' || text_[content] == '\r';
                std::size_t from = line;
                if (!blank) {
                    if (text_[line] == '\t')
                        from = line + 1;
                    else if (text_.compare(line, 4, "    ") == 0)
                        from = line + 4;
                    else
                        break;
                }
                for (std::size_t k = from; k < end; ++k) {
                    body += text_[k];
                    origin.push_back(k);
                }
                line = end;
            }
            if (body.find_first_not_of(" \t\r\n") == std::string::npos)
                continue;
            MarkdownReferences inner = Walker(body, with_links_, true).run();
            auto mapped = [&](NoteReference& reference) {
                if (reference.offset >= origin.size())
                    return false;
                const std::size_t begin = origin[reference.offset];
                if (reference.length > 0) {
                    const std::size_t last = reference.offset + reference.length - 1;
                    if (last >= origin.size() || origin[last] - begin != reference.length - 1)
                        return false;
                }
                reference.offset = begin;
                // Only what md4c took for code is new; elsewhere the note's own parse is the one that counts.
                return in_code(begin);
            };
            for (NoteReference& reference : inner.found)
                if (mapped(reference))
                    result_.found.push_back(std::move(reference));
            for (NoteReference& reference : inner.unplaced)
                if (mapped(reference))
                    result_.unplaced.push_back(std::move(reference));
        }
    }

    // Whether the link's text is the very bytes of an autolink: "<address>", or a bare address that md4c made a
    // link of (its address is the text, perhaps with "http://" or "mailto:" before it).
    bool is_autolink_text(const OpenSpan& span) const {
        if (!span.text_whole || span.text_begin == std::string_view::npos || span.text_begin == 0 ||
            span.text_end >= text_.size())
            return false;
        const std::string_view raw = text_.substr(span.text_begin, span.text_end - span.text_begin);
        if (text_[span.text_begin - 1] == '<' && text_[span.text_end] == '>')
            return raw.find_first_of(" \t\r\n<>") == std::string_view::npos;
        return text_[span.text_begin - 1] != '[' && text_[span.text_end] != ']' &&
               (span.resolved == raw || span.resolved == "http://" + std::string(raw) ||
                span.resolved == "mailto:" + std::string(raw));
    }

    void add(std::size_t begin, std::size_t end, const OpenSpan& span) {
        NoteReference reference;
        reference.offset = begin;
        reference.length = end - begin;
        const bool angle = begin > 0 && text_[begin - 1] == '<' && end < text_.size() && text_[end] == '>';
        reference.form = angle ? ReferenceForm::angle_destination : ReferenceForm::markdown_destination;
        reference.image = span.image;
        claimed_.emplace(begin, end);
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
        std::size_t close = std::string_view::npos;
        for (std::size_t i = from; i < text_.size(); ++i) {
            if (text_[i] == '\\') {
                ++i;
                continue;
            }
            if (text_[i] != ']')
                continue;
            // The label of a definition, which the parser reports no text of; a span only followed for where it
            // ends never looks that far.
            if (i + 1 < text_.size() && text_[i + 1] == ':' && span.shown)
                continue;
            if (i + 1 < text_.size() && text_[i + 1] == '(') {
                const Placement placement = destination_at(skip_blanks(i + 2, true));
                // A destination placed already belongs to an image or link inside this span's description, or
                // to an earlier one the parser was no further than: the search goes on past it.
                if (placement.begin != std::string_view::npos && claimed_.count(placement.begin) != 0) {
                    i = placement.end;
                    continue;
                }
                if (reads_as(placement, span.resolved))
                    return placement;
            }
            close = i;
            break;
        }
        if (!span.shown)
            return {};
        // A reference: the definition of its label, else the first outside code whose destination reads the same.
        if (close != std::string_view::npos) {
            const std::string key = label_key(label_after(close, span.cursor_at_enter));
            for (const auto& [label, placement] : definitions()) {
                if (label == key && reads_as(placement, span.resolved))
                    return placement;
            }
            // A label told is the only one: another label's definition would be a wrong place, and none is
            // reported rather than guessed.
            if (!key.empty())
                return {};
        }
        for (const auto& [label, placement] : definitions()) {
            if (reads_as(placement, span.resolved))
                return placement;
        }
        return {};
    }

    // The label a reference image names, given the "]" that ends its description: "[label]" after it, or for
    // "[]" and none the description itself.
    std::string_view label_after(std::size_t close, std::size_t floor) const {
        if (close + 1 < text_.size() && text_[close + 1] == '[') {
            for (std::size_t j = close + 2; j < text_.size() && text_[j] != '[' && j - close < 1000; ++j) {
                if (text_[j] == '\\') {
                    ++j;
                    continue;
                }
                if (text_[j] == ']') {
                    if (j > close + 2)
                        return text_.substr(close + 2, j - close - 2);
                    break;
                }
            }
        }
        int depth = 0;
        for (std::size_t j = close; j > floor && close - j < 1000; --j) {
            const char c = text_[j - 1];
            if (j >= 2 && text_[j - 2] == '\\')
                continue;
            if (c == ']')
                ++depth;
            else if (c == '[' && depth-- == 0)
                return text_.substr(j, close - j);
        }
        return {};
    }

    // Every reference definition's label and destination, in text order, found once per note.
    const std::vector<std::pair<std::string, Placement>>& definitions() const {
        if (definitions_read_)
            return definitions_;
        definitions_read_ = true;
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
                            if (placement.begin != std::string_view::npos)
                                definitions_.emplace_back(label_key(text_.substr(i + 1, j - i - 1)), placement);
                        }
                        break;
                    }
                }
            }
            const std::size_t next = text_.find('\n', line);
            line = next == std::string_view::npos ? text_.size() : next + 1;
        }
        return definitions_;
    }

    std::string_view text_;
    bool with_links_;
    MarkdownReferences result_;
    std::vector<Range> code_; // in text order
    std::vector<OpenSpan> open_;
    std::map<std::size_t, std::size_t> claimed_;            // the destinations found so far: begin -> end
    mutable std::vector<std::pair<std::string, Placement>> definitions_;
    mutable bool definitions_read_ = false;
    bool nested_ = false;
    std::string raw_element_;                                // the script or style element open in the HTML
    std::vector<Range> runs_;                                // running text outside spans, in text order
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
