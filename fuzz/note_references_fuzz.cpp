// The reference finder of notes over any bytes (Markdown, HTML, front matter, footnotes, embeds): every place found
// lies inside the note and apart from the others, and writing each reference's own address back into it gives a
// note in which the same addresses are found again.
#include "fuzz_support.h"
#include "notes/destination_text.h"
#include "notes/markdown_references.h"
#include "runtime/percent_encoding.h"

using namespace velpic;
using velpic::fuzz::FuzzInput;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 16384)
        return 0;
    FuzzInput input(data, size);
    const std::string_view text = input.field(0);
    const bool with_links = input.flag(0);

    const MarkdownReferences found = find_markdown_references(text, with_links);
    if (!found.parsed)
        return 0;
    std::size_t done = 0;
    std::string rewritten;
    for (const NoteReference& reference : found.found) {
        FUZZ_CHECK(reference.placed);
        FUZZ_CHECK(reference.offset >= done);
        FUZZ_CHECK(reference.offset + reference.length <= text.size());
        rewritten += text.substr(done, reference.offset - done);
        rewritten += written_reference(reference, reference.target);
        done = reference.offset + reference.length;
    }
    rewritten += text.substr(done);
    for (const NoteReference& reference : found.unplaced)
        FUZZ_CHECK(!reference.placed && reference.length == 0 && reference.offset <= text.size());
    for (const auto& [begin, end] : found.prose)
        FUZZ_CHECK(begin <= end && end <= text.size());

    // Writing each address where it stood is the identity for a reader: the same addresses are found again, in
    // the same order (a backtick or bar comes back percent-encoded, so addresses are compared decoded).
    const MarkdownReferences again = find_markdown_references(rewritten, with_links);
    FUZZ_CHECK(again.parsed);
    FUZZ_CHECK(again.found.size() == found.found.size());
    for (std::size_t i = 0; i < found.found.size(); ++i)
        FUZZ_CHECK(percent_decode(again.found[i].target) == percent_decode(found.found[i].target));
    return 0;
}
