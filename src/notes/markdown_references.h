// Every picture reference of a Markdown text, found by the CommonMark parser md4c and mapped back to the exact
// bytes of the text: inline images (with or without angle brackets), the reference definitions that images use,
// and the src of img tags in HTML blocks and inline HTML. Code spans and code blocks are never looked into.
#pragma once

#include "notes/note_reference.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace velpic {

struct MarkdownReferences {
    std::vector<NoteReference> found; // in text order; a definition used by several images is listed once
    // Destinations the parser reported whose bytes could not be told apart in the text: offset is where the
    // parser was when it met them (for a line number), length 0. Never rewritten.
    std::vector<NoteReference> unplaced;
    bool parsed = true; // false when md4c gave up (out of memory): nothing was found
};

// With links, the destinations of links (inline, by reference, autolinks) and the href of a tags count too.
MarkdownReferences find_markdown_references(std::string_view text, bool with_links = false);

} // namespace velpic
