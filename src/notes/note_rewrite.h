// One note rewritten: the references found in it, a decision for each, and the new bytes written in one step.
// Every byte outside the rewritten addresses stays as it was.
#pragma once

#include "notes/note_files.h"
#include "notes/note_reference.h"
#include "notes/serial_worker.h"
#include "notes/settled_notes.h"
#include "runtime/files.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace velpic {

struct ReferenceDecision {
    enum class Kind { leave, rewrite, fail } kind = Kind::leave;
    std::string text; // rewrite: the new address (UTF-8, as a reader follows it); fail: why (UTF-8); leave: why,
                      // counted in the summary when not empty ("embeds not found")

    static ReferenceDecision leave_it() { return {}; }
    static ReferenceDecision leave_because(std::string reason) { return {Kind::leave, std::move(reason)}; }
    static ReferenceDecision rewrite_to(std::string address) { return {Kind::rewrite, std::move(address)}; }
    static ReferenceDecision failure(std::string reason) { return {Kind::fail, std::move(reason)}; }
};

using DecideReference = std::function<ReferenceDecision(const NoteFile& note, const NoteReference& reference)>;
// Work a run may do ahead for the references of a note (reading the pictures they name), asked from the reading
// threads as each note is parsed; it must touch nothing the calling thread uses unguarded.
using LookAhead = std::function<void(const NoteFile& note, const std::vector<NoteReference>& references)>;
// The decision that a reference's text settles alone, under the run's options, or nullopt when files must be
// asked. It must agree with DecideReference wherever it answers, and touch nothing shared: the reading threads ask.
using SettleByText = std::function<std::optional<ReferenceDecision>(const NoteReference& reference)>;

struct NoteRunOptions {
    bool dry_run = false;
    bool with_links = false; // Markdown links and a href count as well as pictures
    bool gbk = false;        // notes are GBK: read into UTF-8 and written back as GBK
};

struct NoteRunTotals {
    std::size_t notes = 0;
    std::size_t changed_notes = 0;
    std::size_t rewritten = 0; // references rewritten (or, in a dry run, that would be)
    std::size_t failed = 0;    // references left because of a failure, and notes that could not be read or written
    // What was left alone on purpose, by why ("read-only notes", "embeds not found"): never the whole story hidden
    // behind "0 changed".
    std::map<std::string, std::size_t> left;
};

// The summary's tail naming what was left alone and why: "; left alone: embeds not found 2, read-only notes 1", or
// empty.
std::string left_alone_summary(const NoteRunTotals& totals);

// Notes larger than this are refused unread.
inline constexpr std::uint64_t kMaxNoteBytes = 64 * 1024 * 1024;

// Rewrites notes one after another: reads a note, finds its references (Markdown through the parser, text notes
// by their web addresses, of which is_candidate picks those worth deciding on; it is asked from the reading
// threads, decide only from the calling one), asks decide for each, and writes
// "name:line: old → new" per rewritten reference to out and "name:line: reason" per failure to err. The notes are
// replaced atomically, a batch at a time (see FileReplacementBatch): a note is replaced only when it still holds
// the bytes that were read (an editor may have saved it meanwhile), and its lines are printed once it is. A dry
// run writes nothing and prints the lines at once.
class NoteRewriter {
public:
    NoteRewriter(const NoteRunOptions& options, DecideReference decide,
                 std::function<bool(std::string_view)> is_candidate, std::ostream& out, std::ostream& err);
    ~NoteRewriter(); // finishes
    NoteRewriter(const NoteRewriter&) = delete;
    NoteRewriter& operator=(const NoteRewriter&) = delete;

    // Rewrites the notes in their order while other threads read and parse those that follow: deciding (an upload,
    // a look-up) and parsing overlap, and the messages still come in the notes' order.
    void rewrite_all(const std::vector<NoteFile>& notes);
    // Replaces the notes still staged. The totals are final afterwards.
    void finish();
    const NoteRunTotals& totals() const { return totals_; }
    // Problems found before any note was read (a path that does not exist) count as failures.
    void count_failures(std::size_t count) { totals_.failed += count; }
    // Before rewrite_all: the references whose text alone leaves them alone (most links of a note) are settled on
    // the reading threads, counted in the summary, and never reach decide.
    void settle_by_text(SettleByText settle_by_text) { settle_by_text_ = std::move(settle_by_text); }
    // Before rewrite_all, after settle_by_text: a note whose every reference its text settles is kept in memory,
    // and a note memory knows is counted as it was then, unparsed.
    void remember_settled(SettledNotes& memory);
    // Before rewrite_all: look_ahead is given every note's references on the reading threads.
    void look_ahead(LookAhead look_ahead) { look_ahead_ = std::move(look_ahead); }

private:
    // A note as read and parsed, before any decision: the part of a rewrite that needs nothing but the note.
    struct ParsedNote {
        std::filesystem::path file;
        FileRead read;
        std::string converted; // the text in UTF-8, when the note is GBK
        bool readable = false; // read as a regular file (leftovers beside it are swept)
        std::string problem;   // why the note is left as it is, when it is
        std::vector<NoteReference> references;
        std::vector<NoteReference> unplaced;
        SettledNotes::LeftAlone left; // what the references settled by their text (and dropped) leave alone
        SettledNotes::Key key{};      // of the bytes read, when settled notes are remembered
        bool settled = false;         // nothing left to decide (memory knew it, or its text settled it all)
        const std::string& text() const { return converted.empty() ? read.bytes : converted; }
    };

    // A rewritten note read as the next run would read it.
    struct WrittenNote {
        NoteKind kind = NoteKind::markdown;
        std::string bytes;
        std::string text; // the same in UTF-8, when the note is GBK
        std::optional<SettledNotes::LeftAlone> settled;
        SettledNotes::Key key{};
    };

    struct Staged {
        std::string name;
        std::filesystem::path file;
        std::string original; // the bytes that were read, to tell whether the note changed since (as on disk)
        std::string report;
        std::size_t rewritten = 0;
        // When settled notes are remembered: the new bytes as the next run will find them, read on the side.
        std::shared_ptr<WrittenNote> written;
    };

    NoteRunOptions options_;
    DecideReference decide_;
    std::function<bool(std::string_view)> is_candidate_;
    std::ostream& out_;
    std::ostream& err_;
    NoteRunTotals totals_;
    FileReplacementBatch batch_;
    std::vector<Staged> staged_;
    std::size_t staged_bytes_ = 0;
    std::set<std::filesystem::path> swept_; // folders whose leftovers of ended runs were removed
    SettledNotes* memory_ = nullptr;
    SettleByText settle_by_text_;
    LookAhead look_ahead_;
    SerialWorker written_reader_; // reads rewritten notes while the calling thread goes on

    void sweep_leftovers(const std::filesystem::path& folder);
    ParsedNote parse(const NoteFile& note) const;
    // Finds the references of text into parsed; false, with parsed.problem unset, when the parser gave up.
    bool find_references(NoteKind kind, const std::string& text, ParsedNote& parsed) const;
    // Whether the bytes a rewrite wrote will be found settled by the next run, and with what left alone.
    void check_settled(WrittenNote& written) const;
    // Drops the references that settle_by_text leaves alone, counting why in parsed.left; then, when memory is
    // kept and nothing is left to decide, the note is settled.
    void settle_references(ParsedNote& parsed) const;
    void apply(const NoteFile& note, ParsedNote parsed);
};

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
