// The ways an address is written in notes, both directions: reading the raw bytes of a reference into the address
// it means, and writing an address so that it reads back unchanged where it goes.
#pragma once

#include "notes/note_reference.h"

#include <string>
#include <string_view>

namespace velpic {

// Markdown's backslash escapes resolved: a backslash before ASCII punctuation stands for that character.
std::string remove_backslash_escapes(std::string_view raw);

// A Markdown destination's raw bytes as a reader follows them: backslash escapes and character references
// resolved in one pass, so that "\\&amp;" stays "&amp;".
std::string decode_markdown_destination(std::string_view raw);

// HTML character references resolved: decimal and hexadecimal ones, and &amp; &lt; &gt; &quot; &apos; &nbsp;.
// Any other "&" is kept as it is. A reference to no character (0, surrogates, beyond U+10FFFF) becomes U+FFFD.
std::string decode_character_references(std::string_view text);


// Whether written_address writes address as it stands in every form: the addresses of most notes.
bool written_alike_in_every_form(std::string_view address);

// The bytes that write address in a reference of this form, so that reading them gives address back: blanks and
// control bytes percent-encoded where they would end the reference, and the characters that would close or change
// it escaped (backslash in Markdown, character references in HTML). Backticks and bars are percent-encoded in
// every form: they would open a code span or split a table cell around the reference.
std::string written_address(std::string_view address, ReferenceForm form, char quote);

// The bytes that replace a whole reference: its address as written_address writes it, or for an Obsidian embed the
// standard image "![alt](address)", which Obsidian and every blog show (Obsidian reads "alt|200" as a width).
std::string written_reference(const NoteReference& reference, std::string_view address);

} // namespace velpic
