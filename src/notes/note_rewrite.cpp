#include "notes/note_rewrite.h"

#include "notes/destination_text.h"
#include "notes/markdown_references.h"
#include "notes/read_ahead.h"
#include "notes/text_addresses.h"
#include "runtime/files.h"

#include "runtime/codepage.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace velpic {

std::size_t LineCounter::line_at(std::size_t offset) {
    offset = std::min(offset, text_.size());
    if (offset <= offset_)
        return line_;
    const char* const from = text_.data() + offset_;
    const char* const to = text_.data() + offset;
    const char* const text_end = text_.data() + text_.size();
    for (auto lf = static_cast<const char*>(std::memchr(from, '\n', static_cast<std::size_t>(to - from))); lf != nullptr;
         lf = static_cast<const char*>(std::memchr(lf + 1, '\n', static_cast<std::size_t>(to - lf - 1))))
        ++line_;
    // A lone CR ends a line as well; a CR LF is counted once, at its LF. Most notes hold no CR at all.
    for (auto cr = static_cast<const char*>(std::memchr(from, '\r', static_cast<std::size_t>(to - from))); cr != nullptr;
         cr = static_cast<const char*>(std::memchr(cr + 1, '\r', static_cast<std::size_t>(to - cr - 1)))) {
        if (cr + 1 == text_end || cr[1] != '\n')
            ++line_;
    }
    offset_ = offset;
    return line_;
}

std::string apply_edits(std::string_view text, const std::vector<NoteEdit>& edits) {
    std::string out;
    out.reserve(text.size() + 64 * edits.size());
    std::size_t done = 0;
    for (const NoteEdit& edit : edits) {
        out.append(text.substr(done, edit.offset - done));
        out += edit.replacement;
        done = edit.offset + edit.length;
    }
    out.append(text.substr(done));
    return out;
}

namespace {

// The file the note's bytes are in: a note reached through a symbolic link is rewritten where it lives, and the
// link stays a link.
std::filesystem::path real_file(const NoteFile& note) {
    const std::filesystem::path& path = note.path;
    std::error_code error;
    if (!note.maybe_link || !std::filesystem::is_symlink(path, error))
        return path;
    const std::filesystem::path target = std::filesystem::canonical(path, error);
    return error ? path : target;
}

} // namespace

namespace {

// Addresses in the running text of a Markdown note that the parser left as text, unless a reference found there
// already covers them.
void add_prose_addresses(std::string_view text, const std::vector<std::pair<std::size_t, std::size_t>>& prose,
                         const std::function<bool(std::string_view)>& is_candidate,
                         std::vector<NoteReference>& references) {
    const std::size_t known = references.size();
    for (const auto& [begin, end] : prose) {
        for (NoteReference& address : find_text_addresses(text.substr(begin, end - begin), is_candidate)) {
            address.offset += begin;
            const bool covered = std::any_of(references.begin(), references.begin() + known, [&](const auto& other) {
                return address.offset < other.offset + other.length && other.offset < address.offset + address.length;
            });
            if (!covered)
                references.push_back(std::move(address));
        }
    }
    std::stable_sort(references.begin(), references.end(),
                     [](const NoteReference& a, const NoteReference& b) { return a.offset < b.offset; });
}

} // namespace

std::string left_alone_summary(const NoteRunTotals& totals) {
    std::string out;
    for (const auto& [why, count] : totals.left)
        out += (out.empty() ? "; left alone: " : ", ") + why + " " + std::to_string(count);
    return out;
}

namespace {

// "a.md.velpic-tmp.PID.N", the temporary file of a rewrite, with the process that wrote it; 0 when name is none.
long leftover_writer(const std::string& name) {
    const std::size_t mark = name.rfind(".velpic-tmp.");
    if (mark == std::string::npos)
        return 0;
    std::string note = name.substr(0, mark);
    for (char& c : note)
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    const bool of_a_note = note.ends_with(".md") || note.ends_with(".markdown") || note.ends_with(".html") ||
                           note.ends_with(".htm") || note.ends_with(".txt");
    const std::string rest = name.substr(mark + 12);
    const std::size_t dot = rest.find('.');
    if (!of_a_note || dot == std::string::npos || dot == 0 || dot + 1 >= rest.size() ||
        rest.find_first_not_of("0123456789.") != std::string::npos || rest.find('.', dot + 1) != std::string::npos)
        return 0;
    return std::strtol(rest.substr(0, dot).c_str(), nullptr, 10);
}

// A name as a message shows it: a file name in GBK (a Windows folder copied over) is read as GBK.
std::string printable_name(const std::string& name) {
    return is_valid_utf8(name) ? name : to_utf8(name);
}

std::string to_utf8_path(const std::filesystem::path& path) {
    return printable_name(path.string());
}

bool read_only(const std::filesystem::path& file) {
    std::error_code error;
    const auto permissions = std::filesystem::status(file, error).permissions();
    using std::filesystem::perms;
    return !error && (permissions & (perms::owner_write | perms::group_write | perms::others_write)) == perms::none;
}

// Why bytes that are not UTF-8 look like another encoding, for the message.
std::string encoding_guess(std::string_view bytes) {
    if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF"))
        return "UTF-16";
    return "perhaps GBK or Latin-1";
}

} // namespace

// A kill during a rewrite leaves its temporary file beside the note; one whose process has ended is removed.
void NoteRewriter::sweep_leftovers(const std::filesystem::path& folder) {
    if (options_.dry_run || !swept_.insert(folder).second)
        return;
    std::error_code error;
    std::vector<std::filesystem::path> leftovers;
    for (const auto& entry : std::filesystem::directory_iterator(folder.empty() ? "." : folder, error)) {
        const long pid = leftover_writer(entry.path().filename().string());
        if (pid > 0 && pid != ::getpid() && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            leftovers.push_back(entry.path());
        if (leftovers.size() >= 10000)
            break;
    }
    for (const std::filesystem::path& leftover : leftovers) {
        std::error_code ignored;
        if (std::filesystem::remove(leftover, ignored))
            err_ << to_utf8_path(leftover) << ": removed, the temporary file of a run that ended without finishing\n";
    }
}

NoteRewriter::NoteRewriter(const NoteRunOptions& options, DecideReference decide,
                           std::function<bool(std::string_view)> is_candidate, std::ostream& out, std::ostream& err)
    : options_(options), decide_(std::move(decide)), is_candidate_(std::move(is_candidate)), out_(out), err_(err) {}

NoteRewriter::~NoteRewriter() {
    finish();
}

void NoteRewriter::remember_settled(SettledNotes& memory) {
    if (memory.enabled() && settle_by_text_)
        memory_ = &memory;
}

void NoteRewriter::settle_references(ParsedNote& parsed) const {
    if (!settle_by_text_)
        return;
    std::erase_if(parsed.references, [&](const NoteReference& reference) {
        const std::optional<ReferenceDecision> decision = settle_by_text_(reference);
        if (!decision || decision->kind != ReferenceDecision::Kind::leave)
            return false;
        if (!decision->text.empty())
            ++parsed.left[decision->text];
        return true;
    });
    // What unplaced references leave alone is not counted: only those that need a change are named.
    std::erase_if(parsed.unplaced, [&](const NoteReference& reference) {
        const std::optional<ReferenceDecision> decision = settle_by_text_(reference);
        return decision && decision->kind == ReferenceDecision::Kind::leave;
    });
    parsed.settled = memory_ != nullptr && parsed.references.empty() && parsed.unplaced.empty();
}

NoteRewriter::ParsedNote NoteRewriter::parse(const NoteFile& note) const {
    ParsedNote parsed;
    parsed.file = real_file(note);
    parsed.read = read_regular_file(parsed.file, kMaxNoteBytes);
    if (parsed.read.status != FileReadStatus::ok) {
        parsed.problem = note.name + ": " +
                         (parsed.read.status == FileReadStatus::too_large     ? "larger than 64 MB, left as it is"
                          : parsed.read.status == FileReadStatus::not_regular ? "not a regular file, left as it is"
                                                                              : "cannot be read, left as it is");
        return parsed;
    }
    parsed.readable = true;
    if (memory_ != nullptr) {
        parsed.key = memory_->key_of(parsed.read.bytes);
        if (const SettledNotes::LeftAlone* left = memory_->find(parsed.key)) {
            parsed.left = *left;
            parsed.settled = true;
            return parsed;
        }
    }
    // A note that is not UTF-8 would be damaged by addresses written in UTF-8: named and left, unless its
    // encoding was given.
    if (options_.gbk) {
        parsed.converted = to_utf8(parsed.read.bytes);
        if (utf8_to_gbk(parsed.converted) != parsed.read.bytes) {
            parsed.problem = note.name + ": not GBK text, left as it is";
            return parsed;
        }
    } else if (!is_valid_utf8(parsed.read.bytes)) {
        parsed.problem =
            printable_name(note.name) + ": not UTF-8 (" + encoding_guess(parsed.read.bytes) + "), left as it is";
        return parsed;
    }
    if (!find_references(note.kind, parsed.text(), parsed)) {
        parsed.problem = note.name + ": the Markdown parser gave up on it, left as it is";
        return parsed;
    }
    settle_references(parsed);
    if (look_ahead_ && !parsed.settled)
        look_ahead_(note, parsed.references);
    return parsed;
}

bool NoteRewriter::find_references(NoteKind kind, const std::string& text, ParsedNote& parsed) const {
    if (kind == NoteKind::markdown) {
        MarkdownReferences found = find_markdown_references(text, options_.with_links);
        if (!found.parsed)
            return false;
        parsed.references = std::move(found.found);
        parsed.unplaced = std::move(found.unplaced);
        if (is_candidate_)
            add_prose_addresses(text, found.prose, is_candidate_, parsed.references);
    } else if (is_candidate_) {
        parsed.references = find_text_addresses(text, is_candidate_);
    }
    return true;
}

void NoteRewriter::check_settled(WrittenNote& written) const {
    try {
        // As the next run reads a GBK note: converted to UTF-8, which must give back the text written.
        if (options_.gbk && to_utf8(written.bytes) != written.text)
            return;
        ParsedNote parsed;
        if (!find_references(written.kind, options_.gbk ? written.text : written.bytes, parsed))
            return;
        settle_references(parsed);
        if (parsed.settled) {
            written.settled = std::move(parsed.left);
            written.key = memory_->key_of(written.bytes);
        }
    } catch (const std::exception&) {
        written.settled.reset(); // out of memory: the note is only not remembered
    }
}

void NoteRewriter::rewrite_all(const std::vector<NoteFile>& notes) {
    // Reading and parsing need nothing but the note: the machine's cores do them ahead, in a window bounded in
    // notes and bytes, while this thread decides (and uploads) in the notes' order.
    ReadAhead<ParsedNote>::Bounds bounds;
    bounds.threads = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    ReadAhead<ParsedNote> ahead(
        notes.size(), [&](std::size_t i) { return parse(notes[i]); },
        [](const ParsedNote& parsed) { return parsed.read.bytes.size() + parsed.converted.size(); }, bounds);
    for (std::size_t i = 0; i < notes.size(); ++i)
        apply(notes[i], ahead.take(i));
}

void NoteRewriter::apply(const NoteFile& note, ParsedNote parsed) {
    ++totals_.notes;
    if (parsed.readable)
        sweep_leftovers(parsed.file.parent_path());
    if (!parsed.problem.empty()) {
        ++totals_.failed;
        err_ << parsed.problem << "\n";
        return;
    }
    for (const auto& [why, count] : parsed.left)
        totals_.left[why] += count;
    if (parsed.settled) {
        memory_->keep(parsed.key, std::move(parsed.left));
        return;
    }
    const std::filesystem::path& file = parsed.file;
    const std::string& text = parsed.text();
    const std::vector<NoteReference>& references = parsed.references;
    const std::vector<NoteReference>& unplaced = parsed.unplaced;
    FileRead& read = parsed.read;

    LineCounter lines(text);
    std::vector<NoteEdit> edits;
    std::string report;
    for (const NoteReference& reference : references) {
        const ReferenceDecision decision = decide_(note, reference);
        if (decision.kind == ReferenceDecision::Kind::leave) {
            if (!decision.text.empty())
                ++totals_.left[decision.text];
            continue;
        }
        const std::size_t line = lines.line_at(reference.offset);
        const std::string_view old_bytes = std::string_view(text).substr(reference.offset, reference.length);
        if (decision.kind == ReferenceDecision::Kind::fail) {
            ++totals_.failed;
            err_ << note.name << ":" << line << ": " << decision.text << "\n";
            continue;
        }
        std::string replacement = written_reference(reference, decision.text);
        if (replacement == old_bytes)
            continue;
        report += note.name + ":" + std::to_string(line) + ": " + std::string(old_bytes) + " → " + replacement + "\n";
        edits.push_back({reference.offset, reference.length, std::move(replacement)});
    }
    // A destination the parser reported but whose bytes could not be found is named when it needed a change.
    for (const NoteReference& reference : unplaced) {
        if (decide_(note, reference).kind == ReferenceDecision::Kind::leave)
            continue;
        ++totals_.failed;
        err_ << note.name << ":" << LineCounter(text).line_at(reference.offset) << ": " << reference.target
             << ": its place in the note could not be told apart, left as it is\n";
    }
    if (edits.empty())
        return;
    // The user marked the note read-only; an editor asks before writing such a file, and so does this.
    if (read_only(file)) {
        ++totals_.left["read-only notes"];
        err_ << note.name << ": read-only, left as it is (" << edits.size()
             << (edits.size() == 1 ? " reference" : " references") << " not rewritten)\n";
        return;
    }

    if (options_.dry_run) {
        out_ << report << std::flush;
        ++totals_.changed_notes;
        totals_.rewritten += edits.size();
        return;
    }
    std::string rewritten = apply_edits(text, edits);
    std::string rewritten_text;
    if (options_.gbk) {
        rewritten_text = std::move(rewritten);
        rewritten = utf8_to_gbk(rewritten_text);
    }
    if (!batch_.stage(file, rewritten)) {
        ++totals_.failed;
        err_ << note.name << ": cannot be written, left as it is\n";
        return;
    }
    staged_bytes_ += text.size();
    std::shared_ptr<WrittenNote> written;
    if (memory_ != nullptr) {
        staged_bytes_ += rewritten.size() + rewritten_text.size();
        written = std::make_shared<WrittenNote>(
            WrittenNote{note.kind, std::move(rewritten), std::move(rewritten_text), std::nullopt, {}});
        written_reader_.submit([this, written] { check_settled(*written); });
    }
    staged_.push_back({note.name, file, std::move(read.bytes), std::move(report), edits.size(), std::move(written)});
    // A batch holds the notes' old bytes for the check before the rename (and their new ones while they are read on
    // the side): bounded in count and size.
    if (staged_.size() >= 256 || staged_bytes_ >= 64 * 1024 * 1024)
        finish();
}

void NoteRewriter::finish() {
    if (staged_.empty())
        return;
    std::vector<Staged> staged = std::move(staged_);
    staged_.clear();
    staged_bytes_ = 0;
    std::vector<bool> changed_meanwhile(staged.size(), false);
    const std::vector<bool> replaced = batch_.commit([&](std::size_t i) {
        // An editor may have saved the note since it was read: its new bytes win, and nothing is written.
        const FileRead again = read_regular_file(staged[i].file, kMaxNoteBytes);
        changed_meanwhile[i] = again.status != FileReadStatus::ok || again.bytes != staged[i].original;
        return !changed_meanwhile[i];
    });
    // The rewritten notes were read on the side meanwhile.
    if (memory_ != nullptr)
        written_reader_.wait_idle();
    for (std::size_t i = 0; i < staged.size(); ++i) {
        if (replaced[i]) {
            if (staged[i].written && staged[i].written->settled)
                memory_->keep(staged[i].written->key, std::move(*staged[i].written->settled));
            out_ << staged[i].report;
            ++totals_.changed_notes;
            totals_.rewritten += staged[i].rewritten;
            continue;
        }
        ++totals_.failed;
        if (changed_meanwhile[i])
            err_ << staged[i].name << ": changed while it was being rewritten, left as it is; run the command again\n";
        else
            err_ << staged[i].name << ": cannot be written, left as it is\n";
    }
    out_ << std::flush;
}

} // namespace velpic
