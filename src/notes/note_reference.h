// One address in a note: where its bytes are, how they are written there, and what they mean.
#pragma once

#include <cstddef>
#include <string>

namespace velpic {

enum class ReferenceForm {
    markdown_destination, // a link destination of Markdown, bare: backslash escapes and character references apply
    angle_destination,    // the same between "<" and ">" (blanks allowed)
    html_attribute,       // an attribute value of an HTML tag; quote tells which quotes surround it
    plain_text,           // an address in running text, taken literally
    srcset_candidate,     // one address of an srcset attribute: as html_attribute, and a blank or comma would end it
    obsidian_embed,       // the whole "![[name|size]]" of an Obsidian embed, written anew as "![alt](address)"
    yaml_value,           // the value of a front matter key ("cover: x.png"), inside its quotes if it has them
};

struct NoteReference {
    std::size_t offset = 0; // of the first byte of the address in the note (brackets and quotes not included)
    std::size_t length = 0;
    ReferenceForm form = ReferenceForm::markdown_destination;
    char quote = 0;     // html_attribute: '"', '\'' or 0 when the value stands unquoted
    bool image = true;  // a picture shown (a Markdown image, an img element) rather than a link to something
    std::string target; // the address as a reader follows it: escapes and character references resolved
    bool placed = true; // false: the parser reported it, but its bytes could not be told apart (never rewritten)
    std::string embed_alt; // obsidian_embed: the description to write, the name's stem and Obsidian's "|size"
};

} // namespace velpic
