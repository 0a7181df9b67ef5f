// One uploaded picture, keyed by the MD5 digest of its bytes. All fields are GBK texts.
#pragma once

#include <string>

namespace velpic {

struct UploadRecord {
    std::string ImgMd5;            // 32 lower-case hexadecimal digits
    std::string ImgUploadTime;     // 13 digits: seconds and milliseconds
    std::string UploadMachineCode; // kept by the shared table only
    std::string ImgUrl;            // the public download address
    std::string ImgType;           // ".png", ".jpg", ".jpeg" or ".gif"

    bool operator==(const UploadRecord&) const = default;
};

// ImgUrl names the record's own file: its last part is ImgMd5 followed by ImgType, in either letter case, and neither
// is empty. A junk address stored by an older version (an error text that merely held the raw-file prefix) never
// does; such a record stands for no upload.
bool record_names_its_file(const UploadRecord& record);

} // namespace velpic
