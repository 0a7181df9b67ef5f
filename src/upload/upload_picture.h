// From a picture's bytes to a recorded public address: digest lookup in the record store, commit when new,
// record write, and the report to the user.
#pragma once

#include "records/mysql_settings.h"
#include "records/upload_record.h"
#include "runtime/files.h"
#include "upload/repository_profile.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velpic {

// Where an upload reports; the window and the command line implement it. Called on the uploading thread.
// Texts are GBK.
class UploadReporter {
public:
    virtual ~UploadReporter() = default;
    // "正在上传，请稍候..." while the upload runs.
    virtual void show_status(const std::string& text) = 0;
    virtual void show_address(const std::string& address) = 0;
    // Local record mode only.
    virtual void copy_address(const std::string& address) = 0;
    // The failure message, or the warning that a good upload could not be recorded.
    virtual void show_message(const std::string& text) = 0;
    // The picture being uploaded; empty bytes: back to the default drop picture.
    virtual void show_picture(const std::string& bytes) { (void)bytes; }
};

// A reporter for callers that answer for the upload themselves: it shows nothing and keeps the messages (the
// address and the failure come back through the result as well).
class CollectingReporter final : public UploadReporter {
public:
    void show_status(const std::string&) override {}
    void show_address(const std::string&) override {}
    void copy_address(const std::string&) override {}
    void show_message(const std::string& text) override { messages.push_back(text); }

    std::vector<std::string> messages;
};

// Pictures above this size are refused before they are read.
inline constexpr std::uint64_t kDefaultPictureLimit = 100 * 1024 * 1024;

class HostingService;

// The settings an upload runs with, copied when it starts so that a save meanwhile cannot tear them. The profile
// it extends is the repository the pictures go to.
struct UploadContext : RepositoryProfile {
    std::string record_mode; // exactly "mysql" selects the table; anything else the local record file
    MysqlSettings mysql;
    std::string machine_code;
    std::filesystem::path program_dir;
    std::uint64_t max_picture_bytes = kDefaultPictureLimit;
    // Applied by the batch uploads (upload_item.h) to a picture's bytes before its digest is taken, e.g. to
    // compress it; unset, the bytes go as they are. The record keeps the digest of what was sent.
    std::function<std::string(const std::string& bytes)> prepare_picture;
    // A copy of the bytes sent goes to the archive in program_dir (picture_archive.h) before anything is
    // committed or recorded, so that no record exists without its copy.
    bool keep_archive = true;
    // Told on the uploading thread of every record this upload stored (not of one that was there already), e.g.
    // for a list of records on screen.
    std::function<void(const UploadRecord& record)> recorded;
    // Told (GBK) while the service asks to wait before the next request; the upload goes on after the wait.
    std::function<void(const std::string& text)> wait_notice;
    // Told on the uploading thread, after a commit, of the repository's default branch when the profile names
    // none, so that it can be saved and need not be asked again.
    std::function<void(const std::string& branch)> branch_learned;
};

struct UploadResult {
    bool ok = false;          // the address of the picture's file in the repository was shown
    bool committed = false;   // a commit request was sent
    bool recorded = false;    // a new record was stored
    std::string address;      // the address, or the reason of the failure
    std::string digest;       // MD5 of the bytes, as it names the file; empty when they were refused unhashed
    std::string record_error; // why the record could not be stored (GBK), when committed and ok but not recorded
};

// Whether a recorded address may be handed out for digest: exactly the repository's raw-file prefix, the digest and
// a picture extension (is_picture_extension), as is_committed_file_address takes it.
bool is_recorded_file_address(const std::string& address, const std::string& owner, const std::string& repo,
                              const std::string& digest);
// The same for the repository of service (its address prefix, when set, or its raw-file address).
bool is_recorded_file_address(const std::string& address, const HostingService& service, const std::string& digest);

// "." + what follows the last "." of path (letter case kept); "." + path when there is none.
std::string picture_extension(const std::string& path);

// Whether a file's extension names a picture the service may host: ".png", ".jpeg", ".jpg", ".gif" or
// ".webp", in any letter case (".PNG" passes; the name sent keeps the case the file has).
bool is_picture_extension(std::string_view extension);

// The commit message: "2021年11月27日9时5分30秒 upload" (GBK); the seconds, then the minutes, are left out
// when zero, and the time part at midnight.
std::string commit_message(int year, int month, int day, int hour, int minute, int second);
// The same for the current local time.
std::string commit_message_now();

// The upload routine. The report goes through reporter only; the result tells the caller what happened. Bytes
// that do not begin with a picture signature are refused with wrong_type_reason before anything is sent.
UploadResult upload_picture(const UploadContext& context, const std::string& extension, const std::string& data,
                            UploadReporter& reporter);

// "上传失败！[错误原因：" + reason + "]" (GBK).
std::string upload_failure_message(const std::string& reason);
// "图片大于 100 MB 的上限，没有上传" for a limit of 100 MB (GBK).
std::string picture_too_large_reason(std::uint64_t limit);
// "只能是PNG,JPG,GIF,WEBP格式的图片！" (GBK): a name or bytes of no picture type. upload_picture refuses bytes without
// a picture signature (signature_extension in upload_item.h) with it.
std::string wrong_type_reason();
// The failure message of a file refused before it is read whole (GBK): it is not a regular file (a FIFO would
// block the upload), it is larger than limit, or its first bytes are no picture's (wrong_type_reason). Empty for
// any other status.
std::string refused_file_message(FileReadStatus status, std::uint64_t limit);
// "上传成功，但记录保存失败！" + reason (GBK).
std::string record_failure_message(const std::string& reason);

} // namespace velpic
