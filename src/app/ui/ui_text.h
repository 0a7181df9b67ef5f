// The window shows QStrings; the program keeps GBK bytes. Paths are UTF-8 and never pass through GBK.
#pragma once

#include "runtime/codepage.h"

#include <QString>
#include <filesystem>
#include <string>

namespace velpic {

inline QString from_gbk(const std::string& gbk) {
    return QString::fromStdString(to_utf8(gbk));
}
inline std::string to_gbk(const QString& text) {
    return utf8_to_gbk(text.toStdString());
}
inline std::filesystem::path to_path(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.constData()), utf8.size()));
}

} // namespace velpic
