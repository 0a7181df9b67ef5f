#include "upload/upload_picture.h"

#include "records/local_record_file.h"
#include "records/mysql_record_store.h"
#include "runtime/codepage.h"
#include "runtime/datetime.h"
#include "runtime/files.h"
#include "runtime/gbk_text.h"
#include "runtime/md5.h"
#include "upload/contents_api.h"
#include "upload/encoders.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>

namespace velpic {

namespace {

// Texts the user sees, kept as UTF-8 here and handed out in GBK.
const std::string& uploading_text() {
    static const std::string text = utf8_to_gbk("正在上传，请稍候...");
    return text;
}

// Two uploads of one new picture must not both miss the lookup and commit it twice: the lookup, the commit and
// the record write of one digest run one at a time.
class DigestLock {
public:
    explicit DigestLock(const std::string& digest) : digest_(digest) {
        std::unique_lock lock(registry_mutex());
        registry_changed().wait(lock, [&] { return busy().count(digest_) == 0; });
        busy().insert(digest_);
    }
    ~DigestLock() {
        {
            std::lock_guard lock(registry_mutex());
            busy().erase(digest_);
        }
        registry_changed().notify_all();
    }
    DigestLock(const DigestLock&) = delete;
    DigestLock& operator=(const DigestLock&) = delete;

private:
    static std::mutex& registry_mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static std::condition_variable& registry_changed() {
        static std::condition_variable changed;
        return changed;
    }
    static std::set<std::string>& busy() {
        static std::set<std::string> digests;
        return digests;
    }

    std::string digest_;
};

} // namespace

bool is_picture_extension(std::string_view extension) {
    return extension == ".png" || extension == ".jpeg" || extension == ".jpg" || extension == ".gif";
}

std::string picture_extension(const std::string& path) {
    // A "." is never the trail byte of a double-byte character, so a plain byte search gives the same position as
    // the text search, and it is also right for UTF-8 file-system paths.
    auto dot = path.rfind('.');
    if (dot == std::string::npos)
        return "." + path;
    return "." + path.substr(dot + 1);
}

std::string commit_message(int year, int month, int day, int hour, int minute, int second) {
    DateTimeFields fields;
    fields.year = year;
    fields.month = month;
    fields.day = day;
    fields.hour = hour;
    fields.minute = minute;
    fields.second = second;
    return datetime_to_text(datetime_from_fields(fields)) + " upload";
}

std::string commit_message_now() {
    DateTimeFields now = local_clock()();
    return commit_message(now.year, now.month, now.day, now.hour, now.minute, now.second);
}

std::string upload_failure_message(const std::string& reason) {
    static const std::string head = utf8_to_gbk("上传失败！[错误原因：");
    return head + reason + "]";
}

std::string record_failure_message(const std::string& reason) {
    static const std::string head = utf8_to_gbk("上传成功，但记录保存失败！");
    return head + reason;
}

UploadResult upload_picture(const UploadContext& context, const std::string& extension, const std::string& data,
                            UploadReporter& reporter) {
    reporter.show_status(uploading_text());
    const std::string digest = md5_hex(data);

    UploadResult result;
    const std::string prefix = raw_address_prefix(context.owner, context.repo);
    auto carries_prefix = [&](const std::string& address) { return text_find(address, prefix, 1, false) > 0; };
    auto commit = [&] {
        result.committed = true;
        return contents_api_upload(context.owner, context.repo, digest + extension, context.access_token,
                                   base64_encode(data), commit_message_now());
    };
    auto new_record = [&](const std::string& address) {
        UploadRecord record;
        record.ImgMd5 = digest;
        record.ImgType = extension;
        record.ImgUploadTime = upload_timestamp();
        record.UploadMachineCode = context.machine_code;
        record.ImgUrl = address;
        return record;
    };

    const bool use_mysql = context.record_mode == "mysql";
    // Held for the lookup, the commit and the record write only, not while the user is told.
    std::optional<DigestLock> lock(std::in_place, digest);
    if (use_mysql) {
        MysqlRecordStore store(context.mysql);
        std::optional<std::string> recorded = store.find_recorded_address(digest);
        if (recorded) {
            result.address = *recorded;
        } else {
            result.address = commit();
            if (carries_prefix(result.address)) {
                MysqlOutcome outcome = store.insert_record(new_record(result.address));
                result.recorded = outcome.ok;
                if (!outcome.ok)
                    result.record_error = "MySQL: " + outcome.error;
            }
        }
    } else {
        const std::filesystem::path file = local_record_file_path(context.program_dir);
        std::optional<std::string> recorded = find_local_record(file, digest);
        if (recorded) {
            result.address = *recorded;
        } else {
            result.address = commit();
            if (carries_prefix(result.address)) {
                bool written = false;
                // Another process may have recorded the same picture meanwhile; its record then stands.
                std::optional<std::string> other =
                    add_local_record_if_absent(file, new_record(result.address), &written);
                result.recorded = written || other.has_value();
                if (!result.recorded)
                    result.record_error = utf8_to_gbk("无法写入 " + file.string());
            }
        }
    }

    lock.reset();

    result.ok = carries_prefix(result.address);
    if (!result.ok) {
        reporter.show_message(upload_failure_message(result.address));
        return result;
    }
    reporter.show_address(result.address);
    if (!use_mysql)
        reporter.copy_address(result.address);
    if (result.committed && !result.recorded)
        reporter.show_message(record_failure_message(result.record_error));
    return result;
}

UploadResult upload_dropped_file(const UploadContext& context, const std::filesystem::path& path,
                                 UploadReporter& reporter) {
    const std::string extension = utf8_to_gbk(picture_extension(path.string()));
    const std::string data = read_whole_file(path);
    reporter.show_picture(data);
    return upload_picture(context, extension, data, reporter);
}

UploadResult upload_chosen_file(const UploadContext& context, const std::filesystem::path& path,
                                UploadReporter& reporter) {
    const std::string extension = utf8_to_gbk(picture_extension(path.string()));
    const std::string data = read_whole_file(path);
    if (data.empty()) {
        reporter.show_picture({});
        return {};
    }
    reporter.show_picture(data);
    return upload_picture(context, extension, data, reporter);
}

} // namespace velpic
