#include "upload/git_blob.h"

#include "runtime/hex_text.h"

#include <openssl/evp.h>

#include <memory>

namespace velpic {

std::string git_blob_sha1(std::string_view bytes) {
    std::string head = "blob " + std::to_string(bytes.size());
    head += '\0';
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    // The head and the bytes are hashed one after the other: the picture is not copied to put the head before it.
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha1(), nullptr) != 1 ||
        EVP_DigestUpdate(context.get(), head.data(), head.size()) != 1 ||
        EVP_DigestUpdate(context.get(), bytes.data(), bytes.size()) != 1 ||
        EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
        return {};
    return lower_hex(std::string_view(reinterpret_cast<const char*>(digest), length));
}

} // namespace velpic
