// The editor upload server reports why it could not start in the words of its library (English, with the
// system's error text); the window and `velpic serve` say it in Chinese.
#pragma once

#include <string>

namespace velpic {

// "cannot listen on 127.0.0.1:36772: Address already in use" -> "无法在 127.0.0.1:36772 上监听：端口已被其他程序占用"
// (UTF-8). Texts it does not know are returned as they are.
std::string server_failure_in_chinese(const std::string& failure);

} // namespace velpic
