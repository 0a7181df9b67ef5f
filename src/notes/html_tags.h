// Addresses in the attributes of HTML tags: the src of img elements, and for relinking the href of a elements too.
// A small tag reader, not a regular expression: comments are skipped, attribute values may be double-quoted,
// single-quoted or bare, names match in any letter case.
#pragma once

#include "notes/note_reference.h"

#include <cstddef>
#include <string_view>
#include <vector>

namespace velpic {

// The references of the tags that begin in text[begin, end); offsets count from the start of text. With links,
// a href counts as well (as a link, image false).
void find_html_references(std::string_view text, std::size_t begin, std::size_t end, bool with_links,
                          std::vector<NoteReference>& found);

} // namespace velpic
