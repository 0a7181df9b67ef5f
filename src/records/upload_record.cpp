#include "records/upload_record.h"

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
    const std::string_view url = record.ImgUrl;
    return ends_with_ignoring_case(url, record.ImgType) &&
           ends_with_ignoring_case(url.substr(0, url.size() - record.ImgType.size()), record.ImgMd5);
}

} // namespace velpic
