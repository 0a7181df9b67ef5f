#include "runtime/md5_stream.h"

#include "runtime/hex_text.h"

#include <openssl/evp.h>

namespace velpic {

void Md5Stream::Free::operator()(evp_md_ctx_st* context) const {
    EVP_MD_CTX_free(context);
}

Md5Stream::Md5Stream() : context_(EVP_MD_CTX_new()) {
    reset();
}

Md5Stream::~Md5Stream() = default;

void Md5Stream::reset() {
    ok_ = context_ && EVP_DigestInit_ex(context_.get(), EVP_md5(), nullptr) == 1;
}

void Md5Stream::add(std::string_view bytes) {
    if (ok_ && !bytes.empty())
        ok_ = EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()) == 1;
}

std::string Md5Stream::finish_hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool ok = ok_ && EVP_DigestFinal_ex(context_.get(), digest, &length) == 1;
    reset();
    if (!ok)
        return {};
    return lower_hex(std::string_view(reinterpret_cast<const char*>(digest), length));
}

} // namespace velpic
