#include "app/ui/picture_batch.h"

#include "settings/link_text.h"
#include "desktop/picture_compression.h"
#include "records/local_record_file.h"
#include "records/mysql_record_store.h"
#include "runtime/codepage.h"
#include "runtime/files.h"
#include "runtime/md5.h"
#include "upload/upload_item.h"

#include <optional>
#include <utility>

namespace velpic {

namespace {

// What one picture's upload tells the user, passed on at once or kept for the batch's end.
class ItemReporter final : public UploadReporter {
public:
    ItemReporter(BatchReporter& window, bool keep_messages) : window_(window), keep_messages_(keep_messages) {}

    void show_status(const std::string& text) override { window_.show_status(text); }
    void show_address(const std::string& address) override { window_.show_address(address); }
    void show_picture(const std::string& bytes) override { window_.show_picture(bytes); }
    // The link is made once the name is known; the mode's decision to copy is what counts here.
    void copy_address(const std::string&) override { copy_asked = true; }
    void show_message(const std::string& text) override {
        told = true;
        if (keep_messages_)
            messages.push_back(text);
        else
            window_.show_message(text);
    }

    bool copy_asked = false;
    bool told = false;                 // a message came, kept or shown
    std::vector<std::string> messages; // GBK

private:
    BatchReporter& window_;
    bool keep_messages_;
};

struct ItemResult {
    bool ok = false;
    std::string address;   // GBK
    std::string link_name; // UTF-8
};

std::string utf8_of(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

bool is_recorded(const UploadContext& context, const std::string& digest) {
    if (context.record_mode == "mysql")
        return MysqlRecordStore(context.mysql).find_recorded_address(digest).has_value();
    return find_local_record(local_record_file_path(context.program_dir), digest).has_value();
}

ItemResult upload_one(const UploadContext& context, BatchOptions& options, const BatchPicture& picture,
                      const std::string& display_name, ItemReporter& item, BatchReporter& window) {
    std::string extension = ".png";
    std::string bytes;
    ItemResult result;
    if (picture.source == BatchPicture::Source::bitmap) {
        bytes = picture.png;
    } else {
        const std::string utf8_extension = picture_extension(utf8_of(picture.path));
        if (!is_picture_extension(utf8_extension)) {
            item.show_picture({});
            item.show_message(wrong_type_reason());
            return result;
        }
        extension = utf8_to_gbk(utf8_extension);
        FileRead file = read_picture_file(picture.path, context.max_picture_bytes);
        if (std::string refusal = refused_file_message(file.status, context.max_picture_bytes); !refusal.empty()) {
            item.show_picture({});
            item.show_message(refusal);
            return result;
        }
        if (file.bytes.empty() && picture.source == BatchPicture::Source::chosen) {
            item.show_picture({});
            return result;
        }
        bytes = std::move(file.bytes);
        result.link_name = link_name(picture.path);
    }

    if (options.compress)
        bytes = compress_large_picture(bytes);
    // A picture sent before is not sent again, so there is nothing to ask about it.
    if (bytes.size() > kLargePictureBytes && !is_recorded(context, md5_hex(bytes))) {
        const LargePictureAnswer answer = window.ask_large_picture(display_name, bytes.size(), !options.compress);
        if (answer.compress && !options.compress) {
            options.compress = true;
            bytes = compress_large_picture(bytes);
        }
        if (!answer.upload)
            return result;
    }
    if (picture.source == BatchPicture::Source::bitmap)
        result.link_name = md5_hex(bytes);

    item.show_picture(bytes);
    const UploadResult uploaded = upload_picture(context, extension, bytes, item);
    result.ok = uploaded.ok;
    result.address = uploaded.address;
    return result;
}

std::string join_lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += (text.empty() ? "" : "\n") + line;
    return text;
}

} // namespace

std::string batch_problems_heading() {
    return "以下图片上传失败：";
}

std::string pasted_bitmap_name() {
    return "剪贴板图片";
}

void upload_picture_batch(const UploadContext& context, BatchOptions options, const std::vector<BatchPicture>& pictures,
                          BatchReporter& reporter) {
    const std::size_t count = pictures.size();
    const bool several = count > 1;
    std::vector<std::string> links, failures, notes;
    std::optional<std::string> last_address;
    for (std::size_t k = 0; k < count; ++k) {
        const BatchPicture& picture = pictures[k];
        if (several)
            reporter.show_progress(k + 1, count);
        const std::string name =
            picture.source == BatchPicture::Source::bitmap ? pasted_bitmap_name() : utf8_of(picture.path.filename());
        ItemReporter item(reporter, several);
        const ItemResult result = upload_one(context, options, picture, name, item, reporter);
        if (result.ok) {
            last_address = result.address;
            if (item.copy_asked) {
                links.push_back(link_text(options.link_format, to_utf8(result.address), result.link_name));
                if (!several)
                    reporter.copy_links(links.back());
            }
        }
        for (const std::string& message : item.messages)
            (result.ok ? notes : failures).push_back(name + "：" + to_utf8(message));
        // A failure must not leave "正在上传，请稍候..." in the box, nor the picture that did not go up.
        if (!several && !result.ok && item.told) {
            reporter.show_status(std::string());
            reporter.show_picture({});
        }
    }
    if (!several)
        return;
    reporter.show_progress(0, count);
    // A failure at the end leaves its status text in the box; the box shows the last address instead, or nothing
    // (and the default picture) when none went up.
    if (last_address) {
        reporter.show_address(*last_address);
    } else if (!failures.empty()) {
        reporter.show_status(std::string());
        reporter.show_picture({});
    }
    if (!links.empty())
        reporter.copy_links(join_lines(links));
    if (!failures.empty())
        failures.insert(failures.begin(), batch_problems_heading());
    failures.insert(failures.end(), notes.begin(), notes.end());
    if (!failures.empty())
        reporter.report_problems(join_lines(failures));
}

} // namespace velpic
