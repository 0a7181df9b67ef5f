// Every picture reference of a Markdown text, found by the CommonMark parser md4c and mapped back to the exact
// bytes of the text: inline images (with or without angle brackets), the reference definitions that images use,
// and the src of img tags in HTML blocks and inline HTML. Code spans and code blocks are never looked into.
#pragma once

#include "notes/note_reference.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velpic {

struct MarkdownReferences {
    std::vector<NoteReference> found; // in text order; a definition used by several images is listed once
    // Destinations the parser reported whose bytes could not be told apart in the text: offset is where the
    // parser was when it met them (for a line number), length 0. Never rewritten.
    std::vector<NoteReference> unplaced;
    // With links: the stretches of running text (outside code, HTML, links and images), where an address may
    // stand that the parser did not take for a link (after Chinese punctuation, say). Offsets and ends.
    std::vector<std::pair<std::size_t, std::size_t>> prose;
    bool parsed = true; // false when md4c gave up (out of memory): nothing was found
};

// With links, the destinations of links (inline, by reference, autolinks) and the href of a tags count too.
MarkdownReferences find_markdown_references(std::string_view text, bool with_links = false);

} // namespace velpic
