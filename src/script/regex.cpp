#define PCRE2_CODE_UNIT_WIDTH 8
#include "script/regex.h"

#include "runtime/codepage.h"

#include <pcre2.h>

#include <vector>

namespace velpic {

namespace {

constexpr long kUnset = -1;

// Letters that name an escape in the dialect; a backslash before any other letter just stands for the letter.
bool is_dialect_escape_letter(char c) {
    return std::string_view("bBcdDfnrsStuvwWx").find(c) != std::string_view::npos;
}

// Spells a pattern of the dialect in PCRE2's syntax. The dialect's "." stops only at "\n", while "^" and "$"
// (multi-line) also honour "\r": the newline convention therefore has to include CR, and every "." outside a
// class is spelled as [^\n] instead. "\v" is the vertical tab alone, and escapes PCRE2 would read as its own
// (\A, \e, \h, \K, \p, \Q, \z, ...) are plain letters.
std::string to_pcre2_syntax(std::string_view pattern) {
    std::string out;
    out.reserve(pattern.size() + 8);
    bool in_class = false;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        char c = pattern[i];
        if (c == '\\' && i + 1 < pattern.size()) {
            char escaped = pattern[++i];
            bool letter = (escaped >= 'a' && escaped <= 'z') || (escaped >= 'A' && escaped <= 'Z');
            if (escaped == 'v') {
                out += "\\x0B";
            } else if (letter && (!is_dialect_escape_letter(escaped) || (in_class && escaped == 'B'))) {
                out += escaped;
            } else {
                out += c;
                out += escaped;
            }
            continue;
        }
        if (in_class) {
            if (c == ']')
                in_class = false;
            out += c;
            continue;
        }
        if (c == '[') {
            in_class = true;
            out += c;
            // A "]" straight after "[" or "[^" closes an empty class in this dialect.
            if (i + 1 < pattern.size() && pattern[i + 1] == '^')
                out += pattern[++i];
            if (i + 1 < pattern.size() && pattern[i + 1] == ']') {
                out += pattern[++i];
                in_class = false;
            }
            continue;
        }
        if (c == '.')
            out += "[^\\n]";
        else
            out += c;
    }
    return out;
}

std::size_t utf8_char_length(unsigned char lead) {
    if (lead >= 0xF0)
        return 4;
    if (lead >= 0xE0)
        return 3;
    if (lead >= 0xC0)
        return 2;
    return 1;
}

} // namespace

struct Regex::State {
    // One match: begin/end byte offsets into the UTF-8 subject, group 0 first; kUnset for a group that took no part.
    struct MatchSpan {
        std::vector<std::pair<long, long>> groups;
    };

    std::string pattern; // GBK, as the caller gave it (after "#" substitution)
    bool compiled = false;
    std::string subject; // UTF-8
    std::size_t capture_count = 0;
    std::vector<MatchSpan> matches;

    std::string piece(long begin, long end) const {
        if (begin == kUnset || end < begin)
            return {};
        return utf8_to_gbk(std::string_view(subject).substr(begin, end - begin));
    }
    long gbk_offset(long utf8_offset) const {
        return static_cast<long>(utf8_to_gbk(std::string_view(subject).substr(0, utf8_offset)).size());
    }
    const State::MatchSpan* match(long index) const {
        if (!compiled || index < 1 || index > static_cast<long>(matches.size()))
            return nullptr;
        return &matches[index - 1];
    }
};

Regex::Regex() = default;
Regex::~Regex() = default;
Regex::Regex(const Regex&) = default;
Regex& Regex::operator=(const Regex&) = default;

bool Regex::execute(std::string_view pattern, std::string_view text, bool case_sensitive, bool multiline, bool global,
                    bool hash_as_quote) {
    auto state = std::make_shared<State>();
    state->pattern = std::string(pattern);
    if (hash_as_quote) {
        for (char& c : state->pattern)
            if (c == '#')
                c = '"';
    }
    state_ = state;

    uint32_t options =
        PCRE2_UTF | PCRE2_ALT_BSUX | PCRE2_MATCH_UNSET_BACKREF | PCRE2_ALLOW_EMPTY_CLASS | PCRE2_DOLLAR_ENDONLY;
    if (!case_sensitive)
        options |= PCRE2_CASELESS;
    if (multiline)
        options |= PCRE2_MULTILINE;
    std::string source = to_pcre2_syntax(to_utf8(state->pattern));

    pcre2_compile_context* context = pcre2_compile_context_create(nullptr);
    if (!context)
        return false;
    pcre2_set_newline(context, PCRE2_NEWLINE_ANYCRLF);
    int error = 0;
    PCRE2_SIZE error_offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(source.data()), source.size(), options, &error,
                                     &error_offset, context);
    pcre2_compile_context_free(context);
    if (!code)
        return false;
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
    if (!data) {
        pcre2_code_free(code);
        return false;
    }

    // The subject is a text: it ends at its first zero byte.
    text = text.substr(0, text.find('\0'));
    state->subject = to_utf8(text);
    uint32_t captures = 0;
    pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &captures);
    state->capture_count = captures;

    const auto* subject = reinterpret_cast<PCRE2_SPTR>(state->subject.data());
    const std::size_t length = state->subject.size();
    std::size_t start = 0;
    bool failed = false;
    while (start <= length) {
        int rc = pcre2_match(code, subject, length, start, 0, data, nullptr);
        if (rc == PCRE2_ERROR_NOMATCH)
            break;
        if (rc < 0) {
            failed = true;
            break;
        }
        const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
        State::MatchSpan span;
        for (std::size_t g = 0; g <= captures; ++g) {
            if (ovector[2 * g] == PCRE2_UNSET)
                span.groups.emplace_back(kUnset, kUnset);
            else
                span.groups.emplace_back(static_cast<long>(ovector[2 * g]), static_cast<long>(ovector[2 * g + 1]));
        }
        std::size_t end = ovector[1];
        state->matches.push_back(std::move(span));
        if (!global)
            break;
        // After an empty match the search goes on one character further, as the dialect's global search does.
        if (end == ovector[0]) {
            if (end >= length)
                break;
            end += utf8_char_length(static_cast<unsigned char>(state->subject[end]));
        }
        start = end;
    }
    pcre2_match_data_free(data);
    pcre2_code_free(code);
    if (failed) {
        state->matches.clear();
        return false;
    }
    state->compiled = true;
    return true;
}

std::string Regex::get_pattern() const {
    return state_ ? state_->pattern : std::string();
}

std::string Regex::replace(std::string_view replacement) const {
    if (!state_ || !state_->compiled)
        return {};
    const State& s = *state_;
    const std::string with = to_utf8(replacement);
    const long groups = static_cast<long>(s.capture_count);
    std::string out;
    long copied = 0;
    for (const State::MatchSpan& m : s.matches) {
        const auto [begin, end] = m.groups[0];
        out.append(s.subject, copied, begin - copied);
        for (std::size_t i = 0; i < with.size(); ++i) {
            char c = with[i];
            char next = i + 1 < with.size() ? with[i + 1] : '\0';
            if (c != '$' || next == '\0') {
                out += c;
                continue;
            }
            if (next == '$') {
                out += '$';
                ++i;
            } else if (next == '&') {
                out.append(s.subject, begin, end - begin);
                ++i;
            } else if (next == '`') {
                out.append(s.subject, 0, begin);
                ++i;
            } else if (next == '\'') {
                out.append(s.subject, end);
                ++i;
            } else if (next >= '0' && next <= '9') {
                // Two digits when they name an existing group, else one, else the text stays as written.
                long group = next - '0';
                std::size_t used = 1;
                char third = i + 2 < with.size() ? with[i + 2] : '\0';
                if (third >= '0' && third <= '9' && group * 10 + (third - '0') >= 1 &&
                    group * 10 + (third - '0') <= groups) {
                    group = group * 10 + (third - '0');
                    used = 2;
                }
                if (group < 1 || group > groups) {
                    out += c;
                    continue;
                }
                const auto [gb, ge] = m.groups[group];
                if (gb != kUnset)
                    out.append(s.subject, gb, ge - gb);
                i += used;
            } else {
                out += c;
            }
        }
        copied = end;
    }
    out.append(s.subject, copied);
    return utf8_to_gbk(out);
}

long Regex::match_count() const {
    return state_ && state_->compiled ? static_cast<long>(state_->matches.size()) : 0;
}

std::string Regex::match_text(long match, long* position) const {
    return group_text(match, 0, position);
}

std::string Regex::submatch_text(long match, long group, long* position) const {
    // Group 0 is the whole match, which is not one of the submatches.
    if (group < 1) {
        if (position)
            *position = -1;
        return {};
    }
    return group_text(match, group, position);
}

std::string Regex::group_text(long match, long group, long* position) const {
    if (position)
        *position = -1;
    const State::MatchSpan* m = state_ ? state_->match(match) : nullptr;
    if (!m || group >= static_cast<long>(m->groups.size()))
        return {};
    const auto [begin, end] = m->groups[group];
    if (begin == kUnset)
        return {};
    if (position)
        *position = state_->gbk_offset(begin);
    return state_->piece(begin, end);
}

long Regex::submatch_count() const {
    const State::MatchSpan* m = state_ ? state_->match(1) : nullptr;
    return m ? static_cast<long>(state_->capture_count) : 0;
}

long Regex::first_index(long match) const {
    const State::MatchSpan* m = state_ ? state_->match(match) : nullptr;
    if (!m)
        return -1;
    long units = 0;
    for (long i = 0; i < m->groups[0].first; ++i) {
        auto c = static_cast<unsigned char>(state_->subject[i]);
        if ((c & 0xC0) != 0x80)
            units += c >= 0xF0 ? 2 : 1;
    }
    return units;
}

} // namespace velpic
