#include "server/server_failure_text.h"

#include <utility>

namespace velpic {

namespace {

// strerror texts a listening socket can meet.
std::string system_reason(const std::string& english) {
    static const std::pair<const char*, const char*> known[] = {
        {"Address already in use", "端口已被其他程序占用"},
        {"Permission denied", "没有使用该端口的权限"},
        {"Cannot assign requested address", "本机没有这个地址"},
        {"Address family not supported by protocol", "不支持这种地址"},
        {"Too many open files", "打开的文件过多"},
        {"Resource temporarily unavailable", "系统资源暂时不足"},
    };
    for (const auto& [text, chinese] : known)
        if (english == text)
            return chinese;
    return english;
}

} // namespace

std::string server_failure_in_chinese(const std::string& failure) {
    static const std::string listen = "cannot listen on ";
    static const std::string thread = "cannot start the server's thread: ";
    if (failure.starts_with(listen)) {
        const std::string rest = failure.substr(listen.size());
        // The address holds one ":" before the port; the reason follows a second ": ".
        const std::size_t port = rest.find(':');
        const std::size_t reason = port == std::string::npos ? std::string::npos : rest.find(": ", port + 1);
        if (reason == std::string::npos)
            return "无法在 " + rest + " 上监听";
        return "无法在 " + rest.substr(0, reason) + " 上监听：" + system_reason(rest.substr(reason + 2));
    }
    if (failure.starts_with(thread))
        return "无法启动服务的线程：" + failure.substr(thread.size());
    if (failure == "the server has been started before")
        return "服务已经启动过";
    return failure;
}

} // namespace velpic
