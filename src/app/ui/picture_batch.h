// The window's uploads: one picture or several (dropped, chosen in the dialog or pasted), sent one after another,
// each the way a single picture goes. Runs on a worker thread; everything the user sees goes through the reporter.
#pragma once

#include "settings/group_settings.h"
#include "upload/upload_picture.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace velpic {

struct BatchPicture {
    enum class Source {
        dropped, // dropped or pasted as a file: an empty file is still sent
        chosen,  // chosen in the file dialog: an empty file is skipped
        bitmap,  // a pasted bitmap, already encoded as PNG
    };
    Source source = Source::dropped;
    std::filesystem::path path; // dropped and chosen files; the extension must name a picture
    std::string png;            // a bitmap's bytes
};

struct LargePictureAnswer {
    bool upload = false;   // send it anyway
    bool compress = false; // compression was offered and the user turned it on
};

// The window's side of a batch. UploadReporter's texts are GBK; the ones here are UTF-8, since file names need
// not fit GBK.
class BatchReporter : public UploadReporter {
public:
    // "正在上传 k/n" while picture k of n (n > 1) is on its way; k == 0 once the batch is over.
    virtual void show_progress(std::size_t k, std::size_t n) = 0;
    // A picture over 1 MB that is not recorded yet: upload it anyway? offer_compress says whether the
    // compression setting may be offered (it is off). Blocks until the user has answered.
    virtual LargePictureAnswer ask_large_picture(const std::string& name, std::uint64_t size, bool offer_compress) = 0;
    // The links of the pictures uploaded, in the chosen format, one per line: onto the clipboard.
    virtual void copy_links(const std::string& text) = 0;
    // The failures of a batch of several, all at once at its end.
    virtual void report_problems(const std::string& text) = 0;
};

struct BatchOptions {
    LinkFormat link_format = LinkFormat::url;
    bool compress = false; // PNG and JPEG over 1 MB are compressed before anything else
};

// A single picture reports as the window always has: its messages at once, its link copied (local record mode).
// Of several, each shows its picture, status and address as it goes; the clipboard gets every link at the end,
// the address box the last address, and one message names every picture that failed.
void upload_picture_batch(const UploadContext& context, BatchOptions options, const std::vector<BatchPicture>& pictures,
                          BatchReporter& reporter);

// Texts of a batch (UTF-8).
std::string batch_problems_heading(); // 以下图片上传失败：
std::string pasted_bitmap_name();     // 剪贴板图片: a pasted bitmap in the messages

} // namespace velpic
