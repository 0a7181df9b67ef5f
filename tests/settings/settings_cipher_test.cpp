#include "settings/settings_cipher.h"

#include <gtest/gtest.h>

using namespace velpic;

TEST(SettingsCipher, KnownRc4VectorsAndRoundTrip) {
    // Published RC4 test vectors: key "Key", plaintext "Plaintext"; key "Wiki", plaintext "pedia".
    EXPECT_EQ(rc4_transform("Plaintext", "Key"), "\xBB\xF3\x16\xE8\xD9\x40\xAF\x0A\xD3");
    EXPECT_EQ(rc4_transform("pedia", "Wiki"), "\x10\x21\xBF\x04\x20");

    const std::string token = "0123456789abcdef0123456789abcdef";
    const std::string enciphered = rc4_transform(token, settings_key);
    EXPECT_NE(enciphered, token);
    EXPECT_EQ(rc4_transform(enciphered, settings_key), token);
    EXPECT_EQ(rc4_transform("", settings_key), "");
}

TEST(SettingsCipher, EmptyKeyLeavesTheIdentityPermutation) {
    // With S the identity, the first key-stream byte is S[(S[1] + S[1]) mod 256] = 2.
    EXPECT_EQ(rc4_transform(std::string(1, '\0'), ""), std::string(1, '\x02'));
}
