#include "records/upload_record.h"

#include <string>
#include <string_view>

namespace velpic {

namespace {

bool ends_with_ignoring_case(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size())
        return false;
    text = text.substr(text.size() - suffix.size());
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        auto a = static_cast<unsigned char>(text[i]);
        auto b = static_cast<unsigned char>(suffix[i]);
        if (a >= 'A' && a <= 'Z')
            a += 'a' - 'A';
        if (b >= 'A' && b <= 'Z')
            b += 'a' - 'A';
        if (a != b)
            return false;
    }
    return true;
}

} // namespace

bool record_names_its_file(const UploadRecord& record) {
    if (record.ImgMd5.empty() || record.ImgType.empty())
        return false;
    // The whole last part of the address, so that "…/xdigest.png" or a digest's mere tail does not pass.
    return ends_with_ignoring_case(record.ImgUrl, "/" + record.ImgMd5 + record.ImgType);
}

} // namespace velpic
