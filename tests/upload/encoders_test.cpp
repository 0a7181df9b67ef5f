#include "upload/encoders.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

using namespace velpic;

TEST(Encoders, Base64PadsShortGroups) {
    EXPECT_EQ(base64_encode(""), "");
    EXPECT_EQ(base64_encode("f"), "Zg==");
    EXPECT_EQ(base64_encode("fo"), "Zm8=");
    EXPECT_EQ(base64_encode("foo"), "Zm9v");
    EXPECT_EQ(base64_encode("foob"), "Zm9vYg==");
    EXPECT_EQ(base64_encode(std::string("\0", 1)), "AA==");
    EXPECT_EQ(base64_encode("\xFF\xFE"), "//4=");
}

TEST(Encoders, Base64OfALongBinaryInputIsOneStandardLine) {
    // Every byte value, several times over, against an independent encoder.
    std::string data;
    for (int round = 0; round < 3; ++round)
        for (int b = 0; b < 256; ++b)
            data += static_cast<char>(b);
    data += "xy";
    const std::string encoded = base64_encode(data);
    std::string expected(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(expected.data()),
                                  reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
    expected.resize(static_cast<size_t>(n));
    EXPECT_EQ(encoded, expected);
    EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
}

TEST(Encoders, UploadTimestampCountsFromEightOClockLocal) {
    EXPECT_EQ(upload_timestamp([] { return DateTimeFields{2021, 11, 27, 20, 0, 0, 45}; }), "1638014400045");
    EXPECT_EQ(upload_timestamp([] { return DateTimeFields{2021, 11, 27, 20, 0, 0, 0}; }), "1638014400000");
    EXPECT_EQ(upload_timestamp([] { return DateTimeFields{2021, 11, 27, 20, 0, 0, 999}; }), "1638014400999");
    // A date-time whose seconds come out just below a whole number before truncation.
    EXPECT_EQ(upload_timestamp([] { return DateTimeFields{2021, 11, 27, 0, 0, 7, 120}; }), "1637942407120");
    EXPECT_EQ(upload_timestamp([] { return DateTimeFields{1970, 1, 1, 8, 0, 1, 5}; }), "1005");

    // Without an argument the process-wide clock is read.
    set_local_clock([] { return DateTimeFields{2021, 11, 27, 20, 0, 0, 45}; });
    EXPECT_EQ(upload_timestamp(), "1638014400045");
    set_local_clock({});
    EXPECT_EQ(upload_timestamp().size(), 13u);
}

TEST(Encoders, PadLeftZerosNeverCuts) {
    EXPECT_EQ(pad_left_zeros("7", 3), "007");
    EXPECT_EQ(pad_left_zeros("45", 3), "045");
    EXPECT_EQ(pad_left_zeros("4567", 3), "4567");
    EXPECT_EQ(pad_left_zeros("", 2), "00");
    EXPECT_EQ(pad_left_zeros("5", 0), "5");
    EXPECT_EQ(pad_left_zeros("5", -3), "5");
}
