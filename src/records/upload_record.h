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

} // namespace velpic
