// Text operations over GBK byte strings: 1-based byte positions, -1 for "not found", and no search,
// split or trim ever matches or cuts inside a double-byte character (lead byte 0x81-0xFE + trail byte).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velpic {

inline bool is_gbk_lead_byte(unsigned char byte) {
    return byte >= 0x81 && byte <= 0xFE;
}

// Whether a character starts at 1-based position (length + 1, the end, counts as a boundary).
bool text_is_char_boundary(std::string_view text, long position);

std::string text_left(std::string_view text, long n);
std::string text_right(std::string_view text, long n);
// n bytes from 1-based start; start outside 1..length or n <= 0 gives the empty text.
std::string text_middle(std::string_view text, long start, long n);

// Position of the first occurrence at or after start, -1 when none; empty what gives 1 (-1 for an empty text).
// A start inside a double-byte character searches from the next character.
long text_find(std::string_view text, std::string_view what, long start = 1, bool ignore_case = false);
// Position of the last occurrence that starts at or before start (start < 1: the whole text);
// empty what gives 1 as the forward search does.
long text_find_backward(std::string_view text, std::string_view what, long start = -1, bool ignore_case = false);

// Bytes before start are copied unchanged; count < 0 replaces all, count 0 nothing.
std::string text_replace(std::string_view text, std::string_view what, std::string_view with = {}, long start = 1,
                         long count = -1, bool case_sensitive = false);

// Empty pieces between separators remain, an empty last piece is dropped, an empty text gives no pieces.
// max_pieces < 0: no limit; otherwise only the first max_pieces pieces are returned.
std::vector<std::string> text_split(std::string_view text, std::string_view separator = ",", long max_pieces = -1);

// Spaces and the full-width space (A1 A1) count as blanks.
std::string text_trim(std::string_view text);
std::string text_trim_left(std::string_view text);
std::string text_trim_right(std::string_view text);

// ASCII letters only; double-byte characters pass unchanged.
std::string text_upper(std::string_view text);
std::string text_lower(std::string_view text);

std::string text_repeat(long n, std::string_view text);
std::string text_spaces(long n);
// Code 0 gives the empty text.
std::string text_char(int code);
// Byte value at 1-based position, 0 outside the text.
int text_char_code(std::string_view text, long position = 1);

int text_compare(std::string_view a, std::string_view b, bool case_sensitive = true);
bool text_starts_with(std::string_view text, std::string_view prefix);

// "真" / "假" in GBK.
std::string bool_to_text(bool value);
// Leading decimal digits with sign; anything after them is ignored.
long long text_to_integer(std::string_view text);
// Up to the first zero byte, as a byte buffer's text form.
std::string text_up_to_nul(std::string_view bytes);

} // namespace velpic
