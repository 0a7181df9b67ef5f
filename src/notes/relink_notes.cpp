#include "notes/relink_notes.h"

#include "notes/note_rewrite.h"

namespace velpic {

int relink_notes(const std::vector<std::string>& paths, const RelinkMap& map, bool dry_run, std::ostream& out,
                 std::ostream& err) {
    std::vector<std::string> problems;
    const std::vector<NoteFile> notes = collect_note_files(paths, NoteSelection::markdown_and_text, problems);
    for (const std::string& problem : problems)
        err << problem << "\n";

    NoteRunOptions options;
    options.dry_run = dry_run;
    options.with_links = true; // a link to a picture moves with it
    const DecideReference decide = [&](const NoteFile&, const NoteReference& reference) {
        const std::string* moved = map.find(reference.target);
        return moved ? ReferenceDecision::rewrite_to(*moved) : ReferenceDecision::leave_it();
    };
    const auto in_map = [&](std::string_view address) { return map.find(address) != nullptr; };
    NoteRewriter rewriter(options, decide, in_map, out, err);
    rewriter.count_failures(problems.size());
    rewriter.rewrite_all(notes);
    rewriter.finish();
    const NoteRunTotals& totals = rewriter.totals();

    out << "relink" << (dry_run ? " (dry run)" : "") << ": " << totals.rewritten
        << (totals.rewritten == 1 ? " address" : " addresses") << (dry_run ? " would be" : "") << " rewritten in "
        << totals.changed_notes << " of " << totals.notes << (totals.notes == 1 ? " file" : " files") << ", "
        << totals.failed << " failed" << left_alone_summary(totals) << (dry_run ? "; nothing was written" : "") << "\n";
    return totals.failed == 0 ? 0 : 1;
}

} // namespace velpic
