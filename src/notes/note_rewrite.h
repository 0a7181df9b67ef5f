// One note rewritten: the references found in it, a decision for each, and the new bytes written in one step.
// Every byte outside the rewritten addresses stays as it was.
#pragma once

#include "notes/note_files.h"
#include "notes/note_reference.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace velpic {

struct ReferenceDecision {
    enum class Kind { leave, rewrite, fail } kind = Kind::leave;
    std::string text; // rewrite: the new address (UTF-8, as a reader follows it); fail: why (UTF-8)

    static ReferenceDecision leave_it() { return {}; }
    static ReferenceDecision rewrite_to(std::string address) { return {Kind::rewrite, std::move(address)}; }
    static ReferenceDecision failure(std::string reason) { return {Kind::fail, std::move(reason)}; }
};

using DecideReference = std::function<ReferenceDecision(const NoteFile& note, const NoteReference& reference)>;

struct NoteRunOptions {
    bool dry_run = false;
    bool with_links = false; // Markdown links and a href count as well as pictures
};

struct NoteRunTotals {
    std::size_t notes = 0;
    std::size_t changed_notes = 0;
    std::size_t rewritten = 0; // references rewritten (or, in a dry run, that would be)
    std::size_t failed = 0;    // references left because of a failure, and notes that could not be read or written
};

// Notes larger than this are refused unread.
inline constexpr std::uint64_t kMaxNoteBytes = 64 * 1024 * 1024;

// Reads the note, finds its references (Markdown through the parser, text notes by their web addresses, of which
// is_candidate picks those worth deciding on), asks decide for each and writes the result: "name:line: old → new"
// per rewritten reference to out, "name:line: reason" per failure to err. The note is replaced atomically, and
// only when it still holds the bytes that were read (an editor may have saved it meanwhile). A dry run writes
// nothing. Adds to totals.
void rewrite_note(const NoteFile& note, const NoteRunOptions& options, const DecideReference& decide,
                  const std::function<bool(std::string_view)>& is_candidate, std::ostream& out, std::ostream& err,
                  NoteRunTotals& totals);

// The bytes of text with each [offset, offset + length) replaced; the edits are in text order and do not overlap.
struct NoteEdit {
    std::size_t offset = 0;
    std::size_t length = 0;
    std::string replacement;
};
std::string apply_edits(std::string_view text, const std::vector<NoteEdit>& edits);

// 1-based line of offset: lines end at LF, CR LF or a lone CR.
class LineCounter {
public:
    explicit LineCounter(std::string_view text) : text_(text) {}
    // Offsets asked for must not decrease.
    std::size_t line_at(std::size_t offset);

private:
    std::string_view text_;
    std::size_t offset_ = 0;
    std::size_t line_ = 1;
};

} // namespace velpic
