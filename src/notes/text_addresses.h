// Web addresses in running text (HTML source, plain text): each maximal run of address characters after a
// scheme ("https://…"), without the sentence punctuation that may follow it.
#pragma once

#include "notes/note_reference.h"

#include <functional>
#include <string_view>
#include <vector>

namespace velpic {

// The addresses of text that wanted accepts, as plain_text references in text order. A run that wanted refuses
// is tried again without trailing ".", ",", ";", ":", "!" and "?", one at a time.
std::vector<NoteReference> find_text_addresses(std::string_view text,
                                               const std::function<bool(std::string_view)>& wanted);

} // namespace velpic
