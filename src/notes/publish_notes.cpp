#include "notes/publish_notes.h"

#include "notes/picture_destination.h"
#include "records/local_record_file.h"
#include "runtime/codepage.h"
#include "runtime/files.h"
#include "runtime/md5.h"
#include "server/picture_download.h"
#include "upload/contents_api.h"
#include "upload/hosting_service.h"
#include "upload/upload_item.h"

#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <unordered_set>

namespace velpic {

namespace {

std::string utf8_text(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

class Publisher {
public:
    Publisher(const PublishOptions& options, const UploadContext& context, const FetchPicture& fetch, std::ostream& err)
        : options_(options), context_(context), fetch_(fetch), err_(err), service_(open_hosting_service(context)),
          address_prefix_(service_->address_prefix()) {}

    const std::string& address_prefix() const { return address_prefix_; }

    // Published already, a link to a web page, an anchor, a web picture without --remote: settled by the address
    // alone (most references of a note), with no file or look-up asked. Any thread may ask.
    std::optional<ReferenceDecision> decide_by_text(const NoteReference& reference) const {
        if (reference.form == ReferenceForm::obsidian_embed)
            return std::nullopt;
        if (hosted_here(reference.target))
            return ReferenceDecision::leave_it();
        switch (destination_kind_by_text(reference.target)) {
        case PictureDestination::Kind::other:
            return ReferenceDecision::leave_it();
        case PictureDestination::Kind::web:
            if (!reference.placed || !reference.image)
                return options_.remote && !reference.placed ? std::nullopt
                                                            : std::optional(ReferenceDecision::leave_it());
            if (!options_.remote)
                return ReferenceDecision::leave_because("remote pictures without --remote");
            return std::nullopt;
        case PictureDestination::Kind::local_file:
            return std::nullopt;
        }
        return std::nullopt;
    }

    ReferenceDecision decide(const NoteFile& note, const NoteReference& reference) {
        if (std::optional<ReferenceDecision> settled = decide_by_text(reference))
            return *settled;
        if (reference.form == ReferenceForm::obsidian_embed)
            return cached("embed:" + folder_of(note) + '\0' + reference.target,
                          [&] { return embed(note, reference); });
        if (!reference.placed)
            return would_publish(note, reference) ? ReferenceDecision::failure("cannot be rewritten")
                                                  : ReferenceDecision::leave_it();
        // Notes of one folder name their pictures alike: the same text there is the same picture, found once.
        std::string key = reference.image ? "image:" : "link:";
        key += folder_of(note);
        key += '\0';
        key += reference.target;
        return cached(key, [&] { return decide_once(note, reference); });
    }

    // The folder of the note decided on, made once for all its references.
    const std::string& folder_of(const NoteFile& note) {
        if (note.path.native() != folder_note_) {
            folder_note_ = note.path.native();
            folder_ = note.path.parent_path().native();
        }
        return folder_;
    }

    // Obsidian finds an embedded file anywhere in the vault (the folder holding .obsidian/, else the folder given),
    // nearest to the note first. An embed of a file that is no picture (another note) is Obsidian's business.
    ReferenceDecision embed(const NoteFile& note, const NoteReference& reference) {
        const std::string& target = reference.target;
        const std::size_t hash = target.find('#');
        const std::string name = target.substr(0, hash);
        const std::string suffix = hash == std::string::npos ? std::string() : target.substr(hash);
        const std::optional<std::filesystem::path> file = find_in_vault(note, name);
        if (!file)
            return looks_like_picture(name) ? ReferenceDecision::leave_because("embeds not found")
                                            : ReferenceDecision::leave_it();
        const FileRead read = read_regular_file(*file, context_.max_picture_bytes);
        if (read.status != FileReadStatus::ok || signature_extension(read.bytes).empty())
            return looks_like_picture(name) ? ReferenceDecision::failure(to_utf8(wrong_type_reason()) + " (" +
                                                                         utf8_text(*file) + ")")
                                            : ReferenceDecision::leave_it();
        return with_suffix(cached("file:" + file->lexically_normal().string(), [&] { return local(*file); }), suffix);
    }

    static bool looks_like_picture(std::string_view name) {
        std::string extension = std::filesystem::path(utf8_path(name)).extension().string();
        for (char& c : extension)
            c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        for (const char* known : {".png", ".jpg", ".jpeg", ".gif", ".webp", ".bmp", ".svg", ".avif"})
            if (extension == known)
                return true;
        return false;
    }

    std::optional<std::filesystem::path> find_in_vault(const NoteFile& note, const std::string& name) {
        if (name.empty())
            return std::nullopt;
        const std::filesystem::path folder = note.path.parent_path();
        const std::filesystem::path vault = vault_of(folder, note.root);
        const std::filesystem::path wanted = utf8_path(name);
        for (const std::filesystem::path& base : {folder, vault}) {
            if (!wanted.is_absolute() && file_exists(base / wanted))
                return base / wanted;
        }
        const std::vector<std::filesystem::path>& files = vault_files(vault);
        const std::string tail = "/" + wanted.generic_string();
        std::optional<std::filesystem::path> best;
        std::size_t best_shared = 0;
        const std::string from = folder.lexically_normal().generic_string() + "/";
        for (const std::filesystem::path& file : files) {
            const std::string path = file.generic_string();
            if (!path.ends_with(tail))
                continue;
            std::size_t shared = 0;
            while (shared < path.size() && shared < from.size() && path[shared] == from[shared])
                ++shared;
            if (!best || shared > best_shared ||
                (shared == best_shared && path.size() < best->generic_string().size())) {
                best = file;
                best_shared = shared;
            }
        }
        return best;
    }

    static std::filesystem::path vault_of(const std::filesystem::path& folder, const std::filesystem::path& root) {
        std::error_code error;
        std::filesystem::path at = std::filesystem::absolute(folder, error).lexically_normal();
        for (int depth = 0; depth < 64 && !at.empty(); ++depth) {
            if (std::filesystem::is_directory(at / ".obsidian", error))
                return at;
            if (at == at.parent_path())
                break;
            at = at.parent_path();
        }
        return root.empty() ? folder : std::filesystem::absolute(root, error).lexically_normal();
    }

    // The files of a vault, read once; hidden folders skipped and the count bounded.
    const std::vector<std::filesystem::path>& vault_files(const std::filesystem::path& vault) {
        auto known = vault_files_.find(vault);
        if (known != vault_files_.end())
            return known->second;
        std::vector<std::filesystem::path>& files = vault_files_[vault];
        std::error_code error;
        std::filesystem::recursive_directory_iterator walk(
            vault, std::filesystem::directory_options::skip_permission_denied, error);
        for (; !error && walk != std::filesystem::recursive_directory_iterator() && files.size() < 200000;
             walk.increment(error)) {
            std::error_code type_error;
            if (walk->is_directory(type_error)) {
                if (walk->path().filename().string().starts_with("."))
                    walk.disable_recursion_pending();
                continue;
            }
            if (walk->is_regular_file(type_error))
                files.push_back(walk->path().lexically_normal());
        }
        return files;
    }

    static ReferenceDecision with_suffix(ReferenceDecision decision, const std::string& suffix) {
        if (decision.kind == ReferenceDecision::Kind::rewrite)
            decision.text += suffix;
        return decision;
    }

private:
    bool hosted_here(const std::string& target) const { return target.starts_with(address_prefix_); }

    // Whether publish would upload the picture, told without uploading it.
    // Only asked of what decide_by_text left open, as is decide_once.
    bool would_publish(const NoteFile& note, const NoteReference& reference) const {
        switch (classify_destination(reference.target, note.path.parent_path()).kind) {
        case PictureDestination::Kind::other:
            return false;
        case PictureDestination::Kind::web:
            return options_.remote;
        case PictureDestination::Kind::local_file:
            return true;
        }
        return false;
    }

    ReferenceDecision decide_once(const NoteFile& note, const NoteReference& reference) {
        const PictureDestination destination = classify_destination(reference.target, note.path.parent_path());
        switch (destination.kind) {
        case PictureDestination::Kind::other:
            return ReferenceDecision::leave_it();
        case PictureDestination::Kind::web: // a picture, with --remote: the rest was settled by its text
            return cached("web:" + reference.target, [&] { return remote(reference.target); });
        case PictureDestination::Kind::local_file:
            if (!reference.image)
                return linked(destination);
            if (!destination.exists)
                return ReferenceDecision::failure("no such picture file: " + utf8_text(destination.file));
            return with_suffix(cached("file:" + destination.file.lexically_normal().string(),
                                      [&] { return foreseen_or_local(destination.file); }),
                               destination.kept_suffix);
        }
        return ReferenceDecision::leave_it();
    }

    // A dry run's pictures are read and digested by the reading threads as their notes are parsed; this thread
    // takes what they found (waiting for one under way) instead of reading the picture once more.
    ReferenceDecision foreseen_or_local(const std::filesystem::path& file) {
        if (!options_.dry_run)
            return local(file);
        std::optional<std::shared_future<ReferenceDecision>> ahead = claim(file);
        return ahead ? ahead->get() : foresee(file);
    }

    // Whether a thread has read file already or is reading it (its future), else the caller now is: nullopt, and
    // the caller must foresee(file).
    std::optional<std::shared_future<ReferenceDecision>> claim(const std::filesystem::path& file) {
        std::lock_guard lock(ahead_mutex_);
        const auto [entry, added] = ahead_.try_emplace(file.lexically_normal().native());
        if (!added)
            return entry->second.future;
        entry->second.future = entry->second.promise.get_future().share();
        return std::nullopt;
    }

    ReferenceDecision foresee(const std::filesystem::path& file) {
        std::promise<ReferenceDecision>* promise;
        {
            std::lock_guard lock(ahead_mutex_);
            promise = &ahead_.at(file.lexically_normal().native()).promise;
        }
        try {
            ReferenceDecision decision = local(file);
            promise->set_value(decision);
            return decision;
        } catch (...) {
            promise->set_exception(std::current_exception());
            throw;
        }
    }

public:
    // On the reading threads, in a dry run only: there local() reads and looks up, and never uploads.
    void look_ahead(const NoteFile& note, const std::vector<NoteReference>& references) {
        if (!options_.dry_run)
            return;
        // Work done ahead is only a head start: what fails here (out of memory) is met again, or kept in the
        // picture's future, when the calling thread decides.
        try {
            const std::filesystem::path folder = note.path.parent_path();
            for (const NoteReference& reference : references)
                look_ahead_at(folder, reference);
        } catch (...) {
        }
    }

private:
    // Given only the references their text left open (the rewriter settled the rest).
    void look_ahead_at(const std::filesystem::path& folder, const NoteReference& reference) {
        if (!reference.placed || !reference.image)
            return;
        // Notes of one folder name their pictures alike: each text there is looked at once.
        std::string text = folder.native();
        text += '\0';
        text += reference.target;
        {
            std::lock_guard lock(ahead_mutex_);
            if (!looked_at_.insert(std::move(text)).second)
                return;
        }
        const PictureDestination destination = classify_destination(reference.target, folder);
        if (destination.kind == PictureDestination::Kind::local_file && destination.exists && !claim(destination.file))
            foresee(destination.file);
    }

    // A link is published like a picture when the file it leads to is a picture by its bytes (a thumbnail's
    // "click to enlarge", a plain link to a screenshot); links to other files stay as they are.
    ReferenceDecision linked(const PictureDestination& destination) {
        if (!destination.exists)
            return ReferenceDecision::leave_it();
        const FileRead read = read_regular_file(destination.file, context_.max_picture_bytes);
        if (read.status != FileReadStatus::ok || signature_extension(read.bytes).empty())
            return ReferenceDecision::leave_because("links to files that are no pictures");
        return with_suffix(cached("file:" + destination.file.lexically_normal().string(),
                                  [&] { return upload(read.bytes, utf8_text(destination.file)); }),
                           destination.kept_suffix);
    }

    // A picture shown several times, in one note or many, is read and looked up once.
    template <class Work> ReferenceDecision cached(const std::string& key, Work&& work) {
        auto known = decisions_.find(key);
        if (known != decisions_.end())
            return known->second;
        ReferenceDecision decision = work();
        decisions_.emplace(key, decision);
        return decision;
    }

    ReferenceDecision local(const std::filesystem::path& file) {
        const FileRead read = read_regular_file(file, context_.max_picture_bytes);
        if (std::string refusal = refused_file_message(read.status, context_.max_picture_bytes); !refusal.empty())
            return ReferenceDecision::failure(to_utf8(refusal));
        if (read.status != FileReadStatus::ok || read.bytes.empty())
            return ReferenceDecision::failure(to_utf8(unreadable_file_reason()));
        return upload(read.bytes, utf8_text(file));
    }

    ReferenceDecision remote(const std::string& address) {
        const FetchedPicture fetched = fetch_(address, context_.max_picture_bytes);
        if (!fetched.ok)
            return ReferenceDecision::failure(fetched.error);
        return upload(fetched.bytes, address);
    }

    // The type comes from the bytes, never from a name: a note may call a JPEG "x.png", or a web page "x.png".
    ReferenceDecision upload(const std::string& bytes, const std::string& name) {
        const std::string extension = signature_extension(bytes);
        if (extension.empty())
            return ReferenceDecision::failure(to_utf8(wrong_type_reason()) + " (" + name + ")");
        if (options_.dry_run)
            return ReferenceDecision::rewrite_to(foreseen_address(bytes, extension));
        const ItemOutcome outcome = upload_bytes_item(context_, name, extension, bytes);
        for (const std::string& message : outcome.notes)
            err_ << name << ": " << to_utf8(message) << "\n";
        if (!outcome.ok)
            return ReferenceDecision::failure(to_utf8(outcome.reason));
        return ReferenceDecision::rewrite_to(to_utf8(outcome.address));
    }

    // What an upload would give without uploading: the recorded address of the digest when the local record
    // file has one (it may carry another extension), otherwise the digest name in the repository.
    std::string foreseen_address(const std::string& bytes, const std::string& extension) const {
        const std::string digest = md5_hex(bytes);
        if (context_.record_mode != "mysql") {
            const std::optional<std::string> recorded =
                find_local_record(local_record_file_path(context_.program_dir), digest);
            if (recorded && is_recorded_file_address(*recorded, *service_, digest))
                return to_utf8(*recorded);
        }
        return service_->file_address(digest + extension);
    }

    const PublishOptions& options_;
    const UploadContext& context_;
    const FetchPicture& fetch_;
    std::ostream& err_;
    std::unique_ptr<HostingService> service_;
    const std::string address_prefix_; // asked once: most references of a published note start with it
    std::unordered_map<std::string, ReferenceDecision> decisions_;
    std::string folder_note_, folder_; // the last note folder_of was asked for, and its folder
    std::map<std::filesystem::path, std::vector<std::filesystem::path>> vault_files_;
    std::mutex ahead_mutex_;
    struct Foreseen {
        std::promise<ReferenceDecision> promise;
        std::shared_future<ReferenceDecision> future;
    };
    std::unordered_set<std::string> looked_at_;      // folder and address of the references looked ahead at
    std::unordered_map<std::string, Foreseen> ahead_; // a dry run's pictures by their paths, read once by any thread
};

FetchedPicture download(const std::string& address, std::uint64_t limit) {
    DownloadBounds bounds;
    bounds.limit = static_cast<std::size_t>(limit);
    PictureDownload download = download_picture(address, bounds);
    return {download.ok, std::move(download.bytes), std::move(download.error)};
}

} // namespace

int publish_notes(const std::vector<std::string>& paths, const PublishOptions& options, const UploadContext& context,
                  std::ostream& out, std::ostream& err, const FetchPicture& fetch) {
    std::vector<std::string> problems;
    const std::vector<NoteFile> notes = collect_note_files(paths, NoteSelection::markdown_only, problems);
    for (const std::string& problem : problems)
        err << problem << "\n";

    const FetchPicture fetcher = fetch ? fetch : FetchPicture(download);
    Publisher publisher(options, context, fetcher, err);
    NoteRunOptions run;
    run.dry_run = options.dry_run;
    run.with_links = true; // a link to a local picture is published with it
    run.gbk = options.gbk;
    const DecideReference decide = [&](const NoteFile& note, const NoteReference& reference) {
        return publisher.decide(note, reference);
    };
    // Notes found with nothing to do are remembered by their bytes: the next run counts them unparsed.
    SettledNotes memory(settled_notes_path(context.program_dir),
                        std::string("publish\nremote=") + (options.remote ? "1" : "0") +
                            "\ngbk=" + (options.gbk ? "1" : "0") + "\naddresses=" + publisher.address_prefix());
    NoteRewriter rewriter(run, decide, {}, out, err);
    rewriter.count_failures(problems.size());
    rewriter.settle_by_text([&](const NoteReference& reference) { return publisher.decide_by_text(reference); });
    // A dry run keeps nothing, so with nothing known there is nothing to look up either.
    if (!options.dry_run || !memory.empty())
        rewriter.remember_settled(memory);
    rewriter.look_ahead([&](const NoteFile& note, const std::vector<NoteReference>& references) {
        publisher.look_ahead(note, references);
    });
    rewriter.rewrite_all(notes);
    rewriter.finish();
    // A dry run writes nothing, and a memory that cannot be written only costs the next run its time.
    if (!options.dry_run && !memory.save())
        err << utf8_text(settled_notes_path(context.program_dir))
            << ": cannot be written; the next run reads every note in full again\n";
    const NoteRunTotals& totals = rewriter.totals();

    out << "publish" << (options.dry_run ? " (dry run)" : "") << ": " << totals.rewritten
        << (totals.rewritten == 1 ? " reference" : " references") << (options.dry_run ? " would be" : "")
        << " rewritten in " << totals.changed_notes << " of " << totals.notes
        << (totals.notes == 1 ? " note" : " notes") << ", " << totals.failed << " failed"
        << left_alone_summary(totals) << (options.dry_run ? "; nothing was written" : "") << "\n";
    return totals.failed == 0 ? 0 : 1;
}

} // namespace velpic
