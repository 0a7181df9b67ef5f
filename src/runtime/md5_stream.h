// MD5 of bytes that arrive in pieces, for a body too large to hold while it is read.
#pragma once

#include <memory>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace velpic {

class Md5Stream {
public:
    Md5Stream();
    ~Md5Stream();
    Md5Stream(const Md5Stream&) = delete;
    Md5Stream& operator=(const Md5Stream&) = delete;

    // Starts over, as if nothing had been added.
    void reset();
    void add(std::string_view bytes);
    // 32 lower-case hexadecimal digits of everything added since the last reset; empty when OpenSSL failed.
    // The stream starts over afterwards.
    std::string finish_hex();

private:
    struct Free {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> context_;
    bool ok_ = false;
};

} // namespace velpic
