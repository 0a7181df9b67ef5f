#include "upload/picture_move.h"

#include "records/picture_fetch.h"
#include "runtime/codepage.h"
#include "runtime/files.h"
#include "upload/commit_picture.h"
#include "upload/contents_api.h"
#include "upload/hosting_service.h"
#include "upload/move_journal.h"
#include "upload/picture_archive.h"
#include "upload/picture_backup.h"
#include "upload/picture_records.h"
#include "upload/token_request.h"

#include <fstream>

namespace velpic {

namespace {

// The most a journal may hold before the map is made of it: as much as a map may.
constexpr std::uint64_t kMaxJournalBytes = 256 * 1024 * 1024;

// One record on its way: where it is, and the name it gets.
struct Pending {
    UploadRecord record;
    std::string path; // digest + type, as the old address names the file
};

// The most bytes of pictures one batch holds in memory.
constexpr std::size_t kMaxBatchBytes = 64 * 1024 * 1024;

class Mover {
public:
    Mover(const UploadContext& context, const MoveRequest& request, HostingService& target, MoveReport& report,
          const std::function<void(const MoveItem&, std::size_t, std::size_t)>& item)
        : context_(context), target_(target), report_(report), item_(item),
          journal_(move_journal_path(request.map_path)) {}

    // Decides the records that need no bytes and returns those that do.
    std::vector<Pending> sort_out(const std::vector<UploadRecord>& records) {
        std::vector<Pending> pending;
        for (const UploadRecord& record : records) {
            MoveItem item;
            item.digest = record.ImgMd5;
            item.old_address = record.ImgUrl;
            const std::string type = recorded_type(record.ImgUrl, record.ImgMd5);
            if (!is_digest_text(record.ImgMd5) || !is_picture_extension(type)) {
                item.reason = utf8_to_gbk("记录的地址不是这张图片的文件：") + visible_text(record.ImgUrl);
                finish(std::move(item));
            } else if (is_recorded_file_address(record.ImgUrl, target_, record.ImgMd5)) {
                item.kind = MoveItem::Kind::already_there;
                item.new_address = record.ImgUrl;
                finish(std::move(item));
            } else {
                pending.push_back({record, record.ImgMd5 + type});
            }
        }
        return pending;
    }

    // Takes bytes (whose MD5 is the record's digest) for the picture: committed at once where the service commits
    // one file per request, else with the batch once it is full or finish() is called.
    void move(const Pending& pending, std::string bytes) {
        if (target_.batch_limit() <= 1)
            return commit_one(pending, bytes);
        batch_bytes_ += bytes.size();
        batch_.push_back({pending, std::move(bytes)});
        if (batch_.size() >= target_.batch_limit() || batch_bytes_ >= kMaxBatchBytes)
            commit_batch();
    }

    void finish_batches() {
        if (!batch_.empty())
            commit_batch();
    }

    // Commits bytes under the picture's name, journals the move and points the record at the new address, in that
    // order.
    void commit_one(const Pending& pending, const std::string& bytes) {
        const ContentsApiResult created = commit_picture(target_, pending.path, bytes, commit_message_now());
        record_commit(pending, created);
    }

    void record_commit(const Pending& pending, const ContentsApiResult& created) {
        MoveItem item;
        item.digest = pending.record.ImgMd5;
        item.old_address = pending.record.ImgUrl;
        if (!created.ok) {
            item.reason = created.reason;
            return finish(std::move(item));
        }
        if (!append_move_journal(journal_, to_utf8(item.old_address), to_utf8(created.address))) {
            item.reason = utf8_to_gbk("无法写入 " + journal_.string());
            return finish(std::move(item));
        }
        const PictureRecordUpdate updated =
            replace_picture_record_address(context_, item.digest, item.old_address, created.address);
        if (!updated.ok) {
            item.reason = updated.error;
            return finish(std::move(item));
        }
        item.kind = created.already_stored ? MoveItem::Kind::already_there : MoveItem::Kind::moved;
        item.new_address = created.address;
        finish(std::move(item));
    }

    void fail(const Pending& pending, std::string reason) {
        MoveItem item;
        item.digest = pending.record.ImgMd5;
        item.old_address = pending.record.ImgUrl;
        item.reason = std::move(reason);
        finish(std::move(item));
    }

private:
    // One commit for the whole batch; a batch the service refused (a name already taken, say, after a move that was
    // cut off) goes again one picture at a time, which heals what is already there.
    void commit_batch() {
        std::vector<BatchFile> files;
        for (const auto& [pending, bytes] : batch_)
            files.push_back({pending.path, bytes, false, {}});
        const BatchCommitResult committed = target_.commit_files(files, commit_message_now());
        for (const auto& [pending, bytes] : batch_) {
            if (!committed.ok) {
                commit_one(pending, bytes);
                continue;
            }
            ContentsApiResult created;
            created.ok = true;
            created.address = target_.file_address(pending.path);
            record_commit(pending, created);
        }
        batch_.clear();
        batch_bytes_ = 0;
    }

    void finish(MoveItem item) {
        report_.items.push_back(std::move(item));
        if (item_)
            item_(report_.items.back(), report_.items.size(), report_.records);
    }

    const UploadContext& context_;
    HostingService& target_;
    MoveReport& report_;
    const std::function<void(const MoveItem&, std::size_t, std::size_t)>& item_;
    std::filesystem::path journal_;
    std::vector<std::pair<Pending, std::string>> batch_;
    std::size_t batch_bytes_ = 0;
};

// The map of the whole move from its journal, put in place in one step; the journal goes once the map is there. A
// move that changed nothing since the last completed one leaves the map of that one.
void write_map(const std::filesystem::path& map_path, MoveReport& report) {
    const std::filesystem::path journal = move_journal_path(map_path);
    if (!file_exists(journal))
        return;
    const FileRead read = read_regular_file(journal, kMaxJournalBytes);
    if (read.status != FileReadStatus::ok) {
        report.map_error = utf8_to_gbk("无法读取 " + journal.string());
        return;
    }
    // The replacement takes the place of a file: an empty one first when there is none (the journal stays until
    // the map is whole, so an empty map left by a crash is made again by the next run).
    if (!file_exists(map_path))
        std::ofstream(map_path, std::ios::binary | std::ios::app);
    if (!replace_file_atomically(map_path, move_map_text(read.bytes))) {
        report.map_error = utf8_to_gbk("无法写入 " + map_path.string());
        return;
    }
    report.map_written = true;
    if (!delete_file(journal))
        report.map_error = utf8_to_gbk("无法删除 " + journal.string());
}

} // namespace

std::size_t MoveReport::count(MoveItem::Kind kind) const {
    std::size_t n = 0;
    for (const MoveItem& item : items)
        n += item.kind == kind ? 1 : 0;
    return n;
}

bool MoveReport::complete() const {
    return started && map_error.empty() && count(MoveItem::Kind::failed) == 0 && items.size() == records;
}

MoveReport move_pictures(const UploadContext& context, const MoveRequest& request,
                         const std::function<void(const MoveItem& item, std::size_t done, std::size_t total)>& item) {
    MoveReport report;
    const std::unique_ptr<HostingService> target = open_hosting_service(request.to);
    target->set_wait_notice(context.wait_notice);
    if (std::string problem = target->profile_problem(); !problem.empty()) {
        report.error = problem;
        return report;
    }
    std::string error;
    const std::vector<UploadRecord> records = list_every_picture_record(context, &error);
    if (!error.empty()) {
        report.error = error;
        return report;
    }
    report.started = true;
    report.records = records.size();

    Mover mover(context, request, *target, report, item);
    std::vector<LinkTarget> downloads;
    std::vector<Pending> downloading;
    for (Pending& pending : mover.sort_out(records)) {
        ArchivedPicture copy = find_archive_copy(context.program_dir, pending.record.ImgMd5, context.max_picture_bytes);
        if (copy.state == ArchivedPicture::State::verified) {
            mover.move(pending, std::move(copy.bytes));
        } else {
            downloads.push_back(LinkTarget::of(pending.record));
            downloading.push_back(std::move(pending));
        }
    }
    fetch_pictures(downloads, request.fetch, [&](std::size_t index, FetchedPicture picture) {
        const Pending& pending = downloading[index];
        if (picture.digest_matches) {
            // A download is the one chance to keep a copy of a picture that only lived at its old host.
            std::string not_kept;
            if (context.keep_archive)
                not_kept = keep_archive_copy(context.program_dir, pending.record.ImgMd5,
                                             pending.path.substr(pending.record.ImgMd5.size()), picture.bytes);
            if (not_kept.empty())
                mover.move(pending, std::move(picture.bytes));
            else
                mover.fail(pending, not_kept);
        } else if (picture.digest_mismatch)
            mover.fail(pending, digest_mismatch_reason());
        else
            mover.fail(pending,
                       utf8_to_gbk("无法下载：") +
                           link_status_text(picture.status == LinkStatus::valid ? LinkStatus::failed : picture.status));
    });
    mover.finish_batches();
    if (report.count(MoveItem::Kind::failed) == 0) {
        write_map(request.map_path, report);
        if (request.to.branch.empty())
            report.target_branch = target->branch_in_use();
    }
    return report;
}

} // namespace velpic
