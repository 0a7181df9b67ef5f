#include "upload/upload_picture.h"

#include "records/local_record_file.h"
#include "records/mysql_record_store.h"
#include "runtime/codepage.h"
#include "runtime/datetime.h"
#include "runtime/files.h"
#include "runtime/gbk_text.h"
#include "runtime/md5.h"
#include "upload/commit_picture.h"
#include "upload/contents_api.h"
#include "upload/digest_lock.h"
#include "upload/encoders.h"
#include "upload/hosting_service.h"
#include "upload/picture_archive.h"
#include "upload/upload_item.h"

#include <optional>

namespace velpic {

namespace {

// Texts the user sees, kept as UTF-8 here and handed out in GBK.
const std::string& uploading_text() {
    static const std::string text = utf8_to_gbk("正在上传，请稍候...");
    return text;
}

std::string archive_off_hint() {
    return utf8_to_gbk("（可在设置页的上传选项中关闭“保留本地存档”）");
}

} // namespace

bool is_recorded_file_address(const std::string& address, const HostingService& service, const std::string& digest) {
    // The record holds the name the picture was committed under: its digest and the type it was sent with, which
    // may differ from this upload's (".JPG" then, ".jpg" now) but is always a picture's.
    if (digest.empty())
        return false;
    const std::size_t name = address.rfind(digest);
    if (name == std::string::npos || !is_picture_extension(address.substr(name + digest.size())))
        return false;
    return service.is_file_address(address, address.substr(name));
}

bool is_recorded_file_address(const std::string& address, const std::string& owner, const std::string& repo,
                              const std::string& digest) {
    return is_recorded_file_address(address, *open_hosting_service(gitee_profile(owner, repo)), digest);
}

bool is_picture_extension(std::string_view extension) {
    // Cameras and other systems write "IMG_0001.JPG"; the letters' case says nothing about the file.
    std::string lower(extension);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return lower == ".png" || lower == ".jpeg" || lower == ".jpg" || lower == ".gif" || lower == ".webp";
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

std::string picture_too_large_reason(std::uint64_t limit) {
    constexpr std::uint64_t mb = 1024 * 1024;
    const std::string size = limit % mb == 0 ? std::to_string(limit / mb) + " MB " : std::to_string(limit) + " 字节";
    return utf8_to_gbk("图片大于 " + size + "的上限，没有上传");
}

std::string wrong_type_reason() {
    return utf8_to_gbk("只能是PNG,JPG,GIF,WEBP格式的图片！");
}

std::string refused_file_message(FileReadStatus status, std::uint64_t limit) {
    if (status == FileReadStatus::refused_head)
        return wrong_type_reason();
    if (status == FileReadStatus::too_large)
        return upload_failure_message(picture_too_large_reason(limit));
    if (status == FileReadStatus::not_regular)
        return upload_failure_message(utf8_to_gbk("不是普通文件（如管道或设备），没有上传"));
    return {};
}

std::string record_failure_message(const std::string& reason) {
    static const std::string head = utf8_to_gbk("上传成功，但记录保存失败！");
    return head + reason;
}

UploadResult upload_picture(const UploadContext& context, const std::string& extension, const std::string& data,
                            UploadReporter& reporter) {
    reporter.show_status(uploading_text());
    UploadResult result;
    const std::unique_ptr<HostingService> service = open_hosting_service(context);
    service->set_wait_notice(context.wait_notice);
    // Owner and repository become parts of API paths; a name holding "/" or "?" would reach another path.
    result.address = service->profile_problem();
    if (result.address.empty() && data.size() > context.max_picture_bytes)
        result.address = picture_too_large_reason(context.max_picture_bytes);
    // A picture is a picture by its bytes: a name ending in ".png" may stand for a key file or a script.
    if (result.address.empty() && signature_extension(data).empty()) {
        result.address = wrong_type_reason();
        reporter.show_message(result.address);
        return result;
    }
    if (!result.address.empty()) {
        reporter.show_message(upload_failure_message(result.address));
        return result;
    }
    result.digest = md5_hex(data);
    const std::string& digest = result.digest;
    if (context.keep_archive) {
        // A picture that only lived on the clipboard survives the service losing it only through this copy; an
        // upload that cannot keep it stops here, while the user still has the picture.
        const std::string failure = keep_archive_copy(context.program_dir, digest, extension, data);
        if (!failure.empty()) {
            result.address = failure + archive_off_hint();
            reporter.show_message(upload_failure_message(result.address));
            return result;
        }
    }

    // Only the address the service really gave for the file committed, the repository's raw-file prefix and the
    // file's name, is shown, copied or recorded; a recorded one must still name the picture's file in the current
    // repository.
    bool commit_ok = false;
    auto commit = [&] {
        result.committed = true;
        ContentsApiResult created = commit_picture(*service, digest + extension, data, commit_message_now());
        commit_ok = created.ok;
        return created.ok ? created.address : created.reason;
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
    std::optional<UploadRecord> stored; // the record this upload wrote
    if (!use_mysql) {
        // Without a usable record file every upload would commit again and fail to record.
        result.address = local_record_file_problem(local_record_file_path(context.program_dir));
        if (!result.address.empty()) {
            reporter.show_message(upload_failure_message(result.address));
            return result;
        }
    }
    // Held for the lookup, the commit and the record write only, not while the user is told.
    std::optional<DigestLock> lock(std::in_place, digest);
    if (use_mysql) {
        MysqlRecordSession store(context.mysql); // one connection for the lookup and the insert
        std::optional<std::string> recorded = store.find_recorded_address(digest);
        if (recorded) {
            result.address = *recorded;
        } else {
            result.address = commit();
            if (commit_ok) {
                stored = new_record(result.address);
                MysqlOutcome outcome = store.insert_record(*stored);
                result.recorded = outcome.ok;
                if (!outcome.ok) {
                    stored.reset();
                    result.record_error = "MySQL: " + outcome.error;
                }
            }
        }
    } else {
        const std::filesystem::path file = local_record_file_path(context.program_dir);
        std::optional<std::string> recorded = find_local_record(file, digest);
        if (recorded) {
            result.address = *recorded;
        } else {
            result.address = commit();
            if (commit_ok) {
                bool written = false;
                stored = new_record(result.address);
                // Another process may have recorded the same picture meanwhile; its record then stands.
                std::optional<std::string> other = add_local_record_if_absent(file, *stored, &written);
                if (!written)
                    stored.reset();
                result.recorded = written || other.has_value();
                if (!result.recorded)
                    result.record_error = utf8_to_gbk("无法写入 " + file.string());
            }
        }
    }

    lock.reset();
    if (stored && context.recorded)
        context.recorded(*stored);
    const std::string learned =
        commit_ok && context.branch.empty() && context.branch_learned ? service->branch_in_use() : std::string();
    if (!learned.empty())
        context.branch_learned(learned);

    result.ok = result.committed ? commit_ok : is_recorded_file_address(result.address, *service, digest);
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

} // namespace velpic
