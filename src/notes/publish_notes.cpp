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

#include <memory>
#include <optional>
#include <unordered_map>

namespace velpic {

namespace {

std::string utf8_text(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

class Publisher {
public:
    Publisher(const PublishOptions& options, const UploadContext& context, const FetchPicture& fetch, std::ostream& err)
        : options_(options), context_(context), fetch_(fetch), err_(err), service_(open_hosting_service(context)) {}

    ReferenceDecision decide(const NoteFile& note, const NoteReference& reference) {
        if (!reference.image)
            return ReferenceDecision::leave_it();
        if (!reference.placed)
            return would_publish(note, reference) ? ReferenceDecision::failure("cannot be rewritten")
                                                  : ReferenceDecision::leave_it();
        // Notes of one folder name their pictures alike: the same text there is the same picture, found once.
        std::string key = note.path.parent_path().native();
        key += '\0';
        key += reference.target;
        return cached(key, [&] { return decide_once(note, reference); });
    }

private:
    bool hosted_here(const std::string& target) const { return target.starts_with(service_->address_prefix()); }

    // Whether publish would upload the picture, told without uploading it.
    bool would_publish(const NoteFile& note, const NoteReference& reference) const {
        if (hosted_here(reference.target))
            return false;
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
        if (hosted_here(reference.target))
            return ReferenceDecision::leave_it();
        const PictureDestination destination = classify_destination(reference.target, note.path.parent_path());
        switch (destination.kind) {
        case PictureDestination::Kind::other:
            return ReferenceDecision::leave_it();
        case PictureDestination::Kind::web:
            if (!options_.remote)
                return ReferenceDecision::leave_it();
            return cached("web:" + reference.target, [&] { return remote(reference.target); });
        case PictureDestination::Kind::local_file:
            if (!destination.exists)
                return ReferenceDecision::failure("no such picture file: " + utf8_text(destination.file));
            return cached("file:" + destination.file.lexically_normal().string(),
                          [&] { return local(destination.file); });
        }
        return ReferenceDecision::leave_it();
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
    std::unordered_map<std::string, ReferenceDecision> decisions_;
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
    const DecideReference decide = [&](const NoteFile& note, const NoteReference& reference) {
        return publisher.decide(note, reference);
    };
    NoteRewriter rewriter(run, decide, {}, out, err);
    rewriter.count_failures(problems.size());
    for (const NoteFile& note : notes)
        rewriter.rewrite(note);
    rewriter.finish();
    const NoteRunTotals& totals = rewriter.totals();

    out << "publish" << (options.dry_run ? " (dry run)" : "") << ": " << totals.rewritten
        << (totals.rewritten == 1 ? " reference" : " references") << (options.dry_run ? " would be" : "")
        << " rewritten in " << totals.changed_notes << " of " << totals.notes
        << (totals.notes == 1 ? " note" : " notes") << ", " << totals.failed << " failed"
        << (options.dry_run ? "; nothing was written" : "") << "\n";
    return totals.failed == 0 ? 0 : 1;
}

} // namespace velpic
