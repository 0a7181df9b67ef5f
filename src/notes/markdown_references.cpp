// md4c reports a destination as resolved text, not as a place in the input. When it needed no resolving (no
// backslash escape, no character reference) md4c hands out a pointer into the input itself, and its offset is
// exact. Otherwise the place is looked for in the text from where the parser was when it reported the image:
// the "](" after the image's description, or else the definition of its label (read as md4c reads definitions and
// matches labels) whose destination reads the same. Every reference found is then written back once with its own
// address and the note parsed again, so that none is rewritten whose new bytes would change the rest of the note.
#include "notes/markdown_references.h"

#include "notes/destination_text.h"
#include "notes/html_tags.h"
#include "notes/link_label.h"
#include "runtime/percent_encoding.h"

#include <md4c.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
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

// The blanks md4c skips between the parts of links and definitions.
bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

bool is_line_end(char c) {
    return c == '\n' || c == '\r';
}

// In text order, the order they mostly come in already. Only the offsets are sorted (a definition's destination
// comes with the first image that uses it), and each reference is moved once.
void sort_by_offset(std::vector<NoteReference>& references) {
    const auto before = [](const NoteReference& a, const NoteReference& b) { return a.offset < b.offset; };
    if (std::is_sorted(references.begin(), references.end(), before))
        return;
    std::vector<std::pair<std::size_t, std::size_t>> order; // offset and index: equal offsets keep their order
    order.reserve(references.size());
    for (std::size_t i = 0; i < references.size(); ++i)
        order.emplace_back(references[i].offset, i);
    std::sort(order.begin(), order.end());
    std::vector<NoteReference> sorted;
    sorted.reserve(references.size());
    for (const auto& [offset, index] : order)
        sorted.push_back(std::move(references[index]));
    references = std::move(sorted);
}

class Walker {
public:
    // nested: a footnote's body parsed on its own, whose own footnotes are not looked into again.
    Walker(std::string_view text, bool with_links, bool nested = false)
        : storage_(padded(text)), text_(storage_.data(), text.size()), with_links_(with_links), nested_(nested) {}

    MarkdownReferences run() {
        // Room for what a note of this size usually holds, bounded: a huge note grows its lists as it goes.
        const std::size_t expected = std::min<std::size_t>(text_.size() / 64, 4096);
        result_.found.reserve(expected);
        reported_.reserve(expected);
        if (with_links_)
            result_.prose.reserve(expected);
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
        if (!std::is_sorted(reported_.begin(), reported_.end()))
            std::sort(reported_.begin(), reported_.end());
        for (const auto& [begin, end] : reported_)
            reported_reach_.push_back(std::max(end, reported_reach_.empty() ? 0 : reported_reach_.back()));
        // Placed only now that every code range is known: a definition may come after the image, inside code.
        // The spans are in the order they ended, inner before outer, so an outer one's search steps over the
        // inner destinations placed before it.
        for (const auto& [span, cursor] : pending_) {
            const Placement placement = place(span, cursor);
            if (!span.shown) {
                if (placement.begin != std::string_view::npos)
                    claim(placement.begin);
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
        sort_by_offset(result_.found);
        // The same definition reached by two images, or an autolink reported twice, is one place.
        add_embeds();
        if (!nested_) {
            add_footnote_bodies();
            add_front_matter();
        }
        sort_by_offset(result_.found);
        // One place is one reference: the same definition reached twice, and never two overlapping ranges (a
        // rewrite of both would write the bytes between them twice).
        std::vector<NoteReference>& found = result_.found;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < found.size(); ++i) {
            if (kept > 0 && found[i].offset < found[kept - 1].offset + std::max<std::size_t>(found[kept - 1].length, 1))
                continue;
            if (kept != i)
                found[kept] = std::move(found[i]);
            ++kept;
        }
        found.erase(found.begin() + static_cast<std::ptrdiff_t>(kept), found.end());
        return std::move(result_);
    }

private:
    // md4c reads a byte or so past the end of some notes (one ending in "[](", say): it is given a copy with zero
    // bytes after the note, so what it reads there is always the same and always there.
    static std::string padded(std::string_view text) {
        std::string copy;
        copy.reserve(text.size() + kPadding);
        copy.append(text);
        copy.append(kPadding, '\0');
        return copy;
    }

    struct OpenSpan {
        std::string resolved; // unless placed: md4c's text of the destination, escapes removed, references raw
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

    // A destination's place, taken: a later search for another one steps over it. They mostly come in text order.
    void claim(std::size_t begin) {
        if (claimed_.empty() || claimed_.back() < begin) {
            claimed_.push_back(begin);
            return;
        }
        const auto at = std::lower_bound(claimed_.begin(), claimed_.end(), begin);
        if (*at != begin)
            claimed_.insert(at, begin);
    }

    bool claimed(std::size_t begin) const { return std::binary_search(claimed_.begin(), claimed_.end(), begin); }

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
        while (i > 0 && (is_blank(text_[i - 1]) || is_line_end(text_[i - 1])))
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
        if (offset != std::string_view::npos && size > 0) {
            reported_.emplace_back(offset, offset + size);
            cursor_ = std::max(cursor_, offset + size);
        }
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
                if (has_control_byte(link.target)) {
                    leave_unplaced(std::move(link));
                    result_.found.erase(result_.found.begin() + static_cast<std::ptrdiff_t>(autolink_check_));
                }
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
            link.cursor_at_enter = cursor_;
            link.placed = attribute->size == 0;
            const std::size_t offset = offset_of(attribute->text, attribute->size);
            if (offset != std::string_view::npos && attribute->size > 0) {
                link.placed = true;
                claim(offset);
                if (is_inline_destination(offset))
                    link.inline_end = offset + attribute->size;
            } else {
                link.resolved.assign(attribute->text, attribute->size);
            }
            open_.push_back(std::move(link));
            return 0;
        }
        OpenSpan span;
        span.image = type == MD_SPAN_IMG;
        span.cursor_at_enter = cursor_;
        if (attribute->size > 0) {
            const std::size_t offset = offset_of(attribute->text, attribute->size);
            if (offset != std::string_view::npos) {
                add(offset, offset + attribute->size, span);
                span.placed = true;
                if (is_inline_destination(offset))
                    span.inline_end = offset + attribute->size;
                // An autolink's text is its address, the very same bytes: written there, escapes do not apply.
                if (!span.image)
                    autolink_check_ = result_.found.size() - 1;
            } else {
                span.resolved.assign(attribute->text, attribute->size); // placed after the parse, by this text
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
            claim(reference.offset);
            if (has_control_byte(reference.target))
                leave_unplaced(std::move(reference));
            else
                result_.found.push_back(std::move(reference));
            return 0;
        }
        if (!span.placed)
            pending_.emplace_back(std::move(span), cursor_);
        return 0;
    }

    // A bare address md4c let run over a control byte is written back with that byte percent-encoded, and what
    // the byte kept from being a link (a "[](" before the address) would be one then: it is named, not rewritten.
    static bool has_control_byte(std::string_view address) {
        return std::any_of(address.begin(), address.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
        });
    }

    void leave_unplaced(NoteReference reference) {
        reference.placed = false;
        reference.length = 0;
        result_.unplaced.push_back(std::move(reference));
    }

    // Whether an embed at i written as "![alt](address)" would change what stands before it: right after a "]" the
    // new image's brackets end a shortcut reference there (md4c reads "[r]![a]" as no link to r), and after the
    // "]:" of a would-be definition (blanks and one line ending aside) it would become that definition's
    // destination.
    bool embed_changes_before(std::size_t i) const {
        if (i > 0 && text_[i - 1] == ']')
            return true;
        while (i > 0 && is_blank(text_[i - 1]))
            --i;
        if (i > 0 && is_line_end(text_[i - 1])) {
            i -= i > 1 && text_.compare(i - 2, 2, "\r\n") == 0 ? 2 : 1;
            while (i > 0 && is_blank(text_[i - 1]))
                --i;
        }
        return i >= 2 && text_[i - 1] == ':' && text_[i - 2] == ']';
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
                if (embed_changes_before(reference.offset))
                    leave_unplaced(std::move(reference));
                else
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
        claim(begin);
        reference.target = decode_markdown_destination(text_.substr(begin, end - begin));
        // A control byte or line ending (md4c lets "<" at a line's end and an address on the next be one
        // autolink) is written back percent-encoded, and the note then reads otherwise: named, not rewritten.
        if (has_control_byte(text_.substr(begin, end - begin)))
            leave_unplaced(std::move(reference));
        else
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
        while (i < text_.size() && is_blank(text_[i]))
            ++i;
        if (one_line_end && i < text_.size() && is_line_end(text_[i])) {
            i += text_.compare(i, 2, "\r\n") == 0 ? 2 : 1;
            while (i < text_.size() && (is_blank(text_[i]) || text_[i] == '>'))
                ++i;
        }
        return i;
    }

    // The start of the line after the one that holds i ("\n", "\r\n" and "\r" end lines), or the text's end.
    std::size_t next_line(std::size_t i) const {
        while (i < text_.size() && !is_line_end(text_[i]))
            ++i;
        if (i < text_.size())
            i += text_.compare(i, 2, "\r\n") == 0 ? 2 : 1;
        return i;
    }

    // Whether the line starting at i holds nothing but blanks and quote marks: it ends a paragraph, and with it
    // any label or title still open.
    bool blank_line_at(std::size_t i) const {
        while (i < text_.size() && (is_blank(text_[i]) || text_[i] == '>'))
            ++i;
        return i >= text_.size() || is_line_end(text_[i]);
    }

    bool escaped(std::size_t i) const {
        std::size_t backslashes = 0;
        while (i > backslashes && text_[i - backslashes - 1] == '\\')
            ++backslashes;
        return backslashes % 2 == 1;
    }

    // Whether md4c reported any byte of [begin, end) as text of some kind (reference definitions it reports not).
    bool is_reported(std::size_t begin, std::size_t end) const {
        const auto after = std::lower_bound(reported_.begin(), reported_.end(), Range{end, 0});
        if (after == reported_.begin() || end <= begin)
            return false;
        return reported_reach_[static_cast<std::size_t>(after - reported_.begin()) - 1] > begin;
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
        // An inline destination: the first "]" after the description, then "(". Without text of its own in the
        // description the parser is still before the image, and the reference definitions that may stand between
        // (it reports nothing of them) are stepped over.
        const bool before = cursor <= span.cursor_at_enter;
        std::size_t close = std::string_view::npos;
        for (std::size_t i = std::max(cursor, span.cursor_at_enter); i < text_.size(); ++i) {
            if (const Definition* definition = before ? definition_around(i) : nullptr) {
                i = definition->end;
                continue;
            }
            if (text_[i] == '\\') {
                ++i;
                continue;
            }
            if (text_[i] != ']')
                continue;
            if (i + 1 < text_.size() && text_[i + 1] == '(') {
                const std::size_t at = skip_blanks(i + 2, true);
                const Placement placement = destination_at(at);
                // A destination placed already belongs to an image or link inside this span's description, or
                // to an earlier one the parser was no further than: the search goes on past it. So does an empty
                // one, "()" or "(<>)": this span's destination is not empty.
                if (placement.begin != std::string_view::npos && claimed(placement.begin)) {
                    i = placement.end;
                    continue;
                }
                if (placement.begin == std::string_view::npos && at < text_.size() && text_[at] == ')') {
                    i = at;
                    continue;
                }
                if (placement.angle && placement.begin == placement.end) {
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
        // A reference: the definition of the label after the description ("[text][label]"), else of the
        // description itself ("[text][]", "[text]"). md4c takes a label's first definition; when that does not
        // read the same, none is reported rather than another guessed.
        if (close != std::string_view::npos) {
            std::vector<std::u32string> keys;
            if (const auto label = label_after(close); label && !link_label_key(*label).empty())
                keys.push_back(link_label_key(*label));
            keys.push_back(link_label_key(description_before(close, span.cursor_at_enter)));
            bool told = false;
            for (const std::u32string& key : keys) {
                if (key.empty())
                    continue;
                told = true;
                const auto first = std::find_if(definitions().begin(), definitions().end(),
                                                [&](const Definition& definition) { return definition.key == key; });
                if (first != definitions().end())
                    return reads_as(first->destination, span.resolved) ? first->destination : Placement{};
            }
            if (told)
                return {};
        }
        // No label to be read: the one definition whose destination reads the same, if only one does.
        Placement only;
        for (const Definition& definition : definitions()) {
            if (!reads_as(definition.destination, span.resolved))
                continue;
            if (only.begin != std::string_view::npos)
                return {};
            only = definition.destination;
        }
        return only;
    }

    // The label in brackets right after the "]" that ends a description: empty for "[]", none when no label follows.
    // md4c reads a "!" between them as nothing: "[t]![r]" is the link to r with the text t.
    std::optional<std::string_view> label_after(std::size_t close) const {
        if (text_.compare(close + 1, 2, "![") == 0)
            ++close;
        if (close + 1 >= text_.size() || text_[close + 1] != '[')
            return std::nullopt;
        for (std::size_t j = close + 2; j < text_.size() && j - close <= 1000; ++j) {
            const char c = text_[j];
            if (c == '\\') {
                ++j;
            } else if (c == '[') {
                return std::nullopt;
            } else if (c == ']') {
                return text_.substr(close + 2, j - close - 2);
            } else if (is_line_end(c) && blank_line_at(next_line(j))) {
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

    // The description that ends at close, from its "[": the label of "[text][]" and "[text]".
    std::string_view description_before(std::size_t close, std::size_t floor) const {
        int depth = 0;
        for (std::size_t j = close; j > floor && close - j < 1000; --j) {
            const char c = text_[j - 1];
            if (escaped(j - 1))
                continue;
            if (c == ']')
                ++depth;
            else if (c == '[' && depth-- == 0)
                return text_.substr(j, close - j);
        }
        return {};
    }

    // A reference definition: "[label]:", its destination on that line or the next, and a title perhaps.
    struct Definition {
        std::u32string key;
        std::size_t begin = 0;     // its "["
        std::size_t label_end = 0; // its "]"
        std::size_t end = 0;       // the end of its last line (before the line ending)
        Placement destination;
    };

    // The end of the line of a title that starts at i and after which the line holds only blanks, or npos.
    std::size_t title_end(std::size_t i) const {
        if (i >= text_.size() || (text_[i] != '"' && text_[i] != '\'' && text_[i] != '('))
            return std::string_view::npos;
        const char open = text_[i];
        const char close = open == '(' ? ')' : open;
        for (std::size_t j = i + 1; j < text_.size(); ++j) {
            const char c = text_[j];
            if (c == '\\') {
                ++j;
            } else if (c == close) {
                const std::size_t end = skip_blanks(j + 1, false);
                return end >= text_.size() || is_line_end(text_[end]) ? end : std::string_view::npos;
            } else if (open == '(' && c == '(') {
                return std::string_view::npos;
            } else if (is_line_end(c) && blank_line_at(next_line(j))) {
                return std::string_view::npos;
            }
        }
        return std::string_view::npos;
    }

    // The definition whose "[" is at i, read as CommonMark reads one: a label of at most 999 characters, not
    // blank, without brackets or a blank line; ":"; the destination after blanks and at most one line ending;
    // then a title after blanks, or the line's end (a title on the next line is the definition's too).
    std::optional<Definition> definition_at(std::size_t i) const {
        std::size_t j = i + 1;
        bool filled = false;
        for (; j < text_.size() && text_[j] != ']'; ++j) {
            const char c = text_[j];
            if (c == '[' || j - i > 999)
                return std::nullopt;
            if (is_line_end(c)) {
                if (blank_line_at(next_line(j)))
                    return std::nullopt;
                continue;
            }
            filled = filled || !is_blank(c);
            if (c == '\\')
                ++j;
        }
        if (!filled || j + 1 >= text_.size() || text_[j + 1] != ':')
            return std::nullopt;
        Definition definition;
        definition.key = link_label_key(text_.substr(i + 1, j - i - 1));
        definition.begin = i;
        definition.label_end = j;
        definition.destination = destination_at(skip_blanks(j + 2, true));
        if (definition.destination.begin == std::string_view::npos)
            return std::nullopt;
        const std::size_t after = definition.destination.end + (definition.destination.angle ? 1 : 0);
        const std::size_t end = skip_blanks(after, false);
        if (end >= text_.size() || is_line_end(text_[end])) {
            const std::size_t next = skip_blanks(end, true);
            const std::size_t title = next > end ? title_end(next) : std::string_view::npos;
            definition.end = title != std::string_view::npos ? title : end;
            return definition;
        }
        definition.end = end > after ? title_end(end) : std::string_view::npos;
        if (definition.end == std::string_view::npos)
            return std::nullopt;
        return definition;
    }

    // Every reference definition md4c took for one, in text order, found once per note: read at the start of each
    // line (after the marks of quotes and lists), and kept when md4c reported none of its label and destination
    // as text, as it reports nothing of a definition.
    const std::vector<Definition>& definitions() const {
        if (definitions_read_)
            return definitions_;
        definitions_read_ = true;
        for (std::size_t line = 0; line < text_.size();) {
            const std::size_t i = after_container_marks(line);
            std::optional<Definition> definition;
            if (i < text_.size() && text_[i] == '[')
                definition = definition_at(i);
            if (definition && !is_reported(definition->begin, definition->label_end + 1) &&
                !is_reported(definition->destination.begin, definition->destination.end)) {
                line = next_line(definition->end);
                definitions_.push_back(std::move(*definition));
            } else {
                line = next_line(line);
            }
        }
        return definitions_;
    }

    // The definition whose bytes hold i, if any.
    const Definition* definition_around(std::size_t i) const {
        const auto after = std::upper_bound(definitions().begin(), definitions().end(), i,
                                            [](std::size_t at, const Definition& definition) { return at < definition.begin; });
        if (after == definitions().begin() || i >= std::prev(after)->end)
            return nullptr;
        return &*std::prev(after);
    }

    static constexpr std::size_t kPadding = 16;
    std::string storage_;
    std::string_view text_;
    bool with_links_;
    MarkdownReferences result_;
    std::vector<Range> code_; // in text order
    std::vector<Range> reported_; // every stretch md4c reported as text of any kind, sorted once the parse is done
    std::vector<std::size_t> reported_reach_; // the furthest end among reported_[0..k]
    std::vector<OpenSpan> open_;
    std::vector<std::size_t> claimed_;                       // where the destinations found so far begin, sorted
    mutable std::vector<Definition> definitions_;
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

namespace {

// The note with the chosen references written anew, each with its own address in the form it stands in, and where
// each reference found (written anew or not) stands in it.
struct WrittenBack {
    std::string text;
    std::vector<std::pair<std::size_t, std::size_t>> places;
};

WrittenBack written_back(std::string_view text, const std::vector<NoteReference>& found,
                         const std::vector<bool>& rewrite) {
    WrittenBack out;
    std::size_t done = 0;
    for (std::size_t i = 0; i < found.size(); ++i) {
        const NoteReference& reference = found[i];
        out.text.append(text.substr(done, reference.offset - done));
        const std::size_t begin = out.text.size();
        if (rewrite[i])
            out.text += written_reference(reference, reference.target);
        else
            out.text.append(text.substr(reference.offset, reference.length));
        out.places.emplace_back(begin, out.text.size());
        done = reference.offset + reference.length;
    }
    out.text.append(text.substr(done));
    return out;
}

// Whether a parse of the note written back finds the same addresses as found, in the same order and each where its
// own was written (addresses compared percent-decoded: a backtick or a bar is written percent-encoded). Another
// reference with the same address elsewhere is no match: the note would read otherwise.
bool same_addresses(const MarkdownReferences& parsed, const std::vector<NoteReference>& found,
                    const std::vector<std::pair<std::size_t, std::size_t>>& places) {
    if (!parsed.parsed || parsed.found.size() != found.size())
        return false;
    for (std::size_t i = 0; i < found.size(); ++i) {
        const NoteReference& again = parsed.found[i];
        if (again.offset < places[i].first || again.offset + again.length > places[i].second ||
            percent_decode(again.target) != percent_decode(found[i].target))
            return false;
    }
    return true;
}

} // namespace

// A reference is rewritten only where writing its own address back leaves the note meaning what it meant: an
// escape or a percent-encoding takes away a byte that kept something else from being Markdown (a control byte
// that ended a would-be definition, a backtick that kept a line from opening a code fence, a ">" that closed an
// angle destination early), and then other references come or go. The note is parsed again with every address
// written back; where that finds other addresses, each reference is tried on its own, and those that change the
// note are named and left alone (all of them when the rest still do not read back). One left alone is taken
// back when it reads back beside all that are kept: a second look at the note so written, once the others are
// rewritten, decides the same.
MarkdownReferences find_markdown_references(std::string_view text, bool with_links) {
    MarkdownReferences result = Walker(text, with_links).run();
    const std::size_t count = result.found.size();
    if (!result.parsed || count == 0)
        return result;
    // Most notes write every address back as it stands: then there is nothing to parse again.
    const bool as_they_stand = std::all_of(result.found.begin(), result.found.end(), [&](const NoteReference& found) {
        const std::string_view raw = text.substr(found.offset, found.length);
        if (found.form != ReferenceForm::obsidian_embed && found.target == raw && written_alike_in_every_form(raw))
            return true;
        return written_reference(found, found.target) == raw;
    });
    if (as_they_stand)
        return result;
    auto reads_back = [&](const std::vector<bool>& rewrite) {
        const WrittenBack written = written_back(text, result.found, rewrite);
        // The same bytes read the same: only a note whose references are written in another form is parsed again.
        return written.text == text ||
               same_addresses(Walker(written.text, with_links).run(), result.found, written.places);
    };
    std::vector<bool> kept(count, true);
    if (reads_back(kept))
        return result;
    for (std::size_t i = 0; i < count; ++i) {
        std::vector<bool> alone(count, false);
        alone[i] = true;
        kept[i] = reads_back(alone);
    }
    if (!reads_back(kept))
        kept.assign(count, false);
    // Bounded: a note of many references that all change it is not tried over and over.
    std::size_t tries = 4 * count + 64;
    for (bool taken = true; taken && tries > 0;) {
        taken = false;
        for (std::size_t i = 0; i < count && tries > 0; ++i) {
            if (kept[i])
                continue;
            kept[i] = true;
            --tries;
            if (reads_back(kept))
                taken = true;
            else
                kept[i] = false;
        }
    }
    std::vector<NoteReference> found;
    for (std::size_t i = 0; i < count; ++i) {
        NoteReference& reference = result.found[i];
        if (kept[i]) {
            found.push_back(std::move(reference));
            continue;
        }
        reference.placed = false;
        reference.length = 0;
        result.unplaced.push_back(std::move(reference));
    }
    sort_by_offset(result.unplaced);
    result.found = std::move(found);
    return result;
}

} // namespace velpic
