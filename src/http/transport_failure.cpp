#include "http/transport_failure.h"

#include <curl/curl.h>

#include "runtime/codepage.h"

namespace velpic {

namespace {

const char* curl_failure_words(CURLcode code, bool request_started) {
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return "无法解析主机名";
    case CURLE_COULDNT_RESOLVE_PROXY:
        return "无法解析代理服务器的主机名";
    case CURLE_COULDNT_CONNECT:
        return "无法连接到服务器";
    case CURLE_OPERATION_TIMEDOUT:
        return request_started ? "服务器响应超时" : "连接超时";
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CERTPROBLEM:
        return "证书验证失败";
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
        return "安全连接（TLS）建立失败";
    case CURLE_SEND_ERROR:
        return "发送请求失败";
    case CURLE_RECV_ERROR:
        return "接收数据失败";
    case CURLE_GOT_NOTHING:
        return "服务器未回答就关闭了连接";
    case CURLE_PARTIAL_FILE:
        return "服务器的回答不完整";
    case CURLE_WEIRD_SERVER_REPLY:
        return "服务器的回答无法识别";
    case CURLE_TOO_MANY_REDIRECTS:
        return "重定向次数过多";
    case CURLE_PROXY:
        return "代理服务器出错";
    default:
        return nullptr;
    }
}

} // namespace

std::string transport_failure_text(const TransportFailure& failure) {
    if (failure.body_limit > 0)
        return utf8_to_gbk("服务器的回答超过 " + std::to_string(failure.body_limit) + " 字节的上限");
    if (failure.redirect_to_http)
        return utf8_to_gbk("没有跟随从 HTTPS 转到 HTTP 的重定向");
    if (failure.idle_timeout)
        return utf8_to_gbk(failure.request_started ? "服务器响应超时" : "连接超时");
    if (failure.head_incomplete)
        return utf8_to_gbk("服务器的回答不完整");
    const auto code = static_cast<CURLcode>(failure.curl_code);
    if (code == CURLE_OK)
        return {};
    if (const char* words = curl_failure_words(code, failure.request_started))
        return utf8_to_gbk(words);
    return utf8_to_gbk("网络错误（libcurl " + std::to_string(failure.curl_code) + "：" + curl_easy_strerror(code) +
                       "）");
}

} // namespace velpic
