// Addresses in the attributes of HTML tags: the src of img elements, and for relinking the href of a elements too.
// A small tag reader, not a regular expression: comments are skipped, attribute values may be double-quoted,
// single-quoted or bare, names match in any letter case.
#pragma once

#include "notes/note_reference.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace velpic {

// The references of the tags that begin in text[begin, end); offsets count from the start of text: img src, every
// address of an srcset of img and source (picture element), and with links a href too (as a link, image false).
// The contents of script and style elements are skipped; raw_element carries the one still open ("script",
// "style" or empty) from one stretch of HTML to the next.
void find_html_references(std::string_view text, std::size_t begin, std::size_t end, bool with_links,
                          std::vector<NoteReference>& found, std::string* raw_element = nullptr);

} // namespace velpic
