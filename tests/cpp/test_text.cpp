// Base64 and bare zlib streams.

#include <gtest/gtest.h>

#include "helpers.h"
#include "ondrel/codecs/text.h"

using namespace ondrel::codecs;
using namespace testutil;

TEST(Base64, DecodeIgnoresLineBreaksOnly) {
    std::string data = noise(200, 9);
    std::string encoded = base64_encode(data), crlf, unwrapped;
    for (char c : encoded) {
        if (c == '\n') crlf += "\r\n";
        else crlf += c, unwrapped += c;
    }
    EXPECT_EQ(base64_decode(crlf), data);
    EXPECT_EQ(base64_decode(unwrapped), data);
    EXPECT_EQ(base64_decode("QQ\n==\r\n"), "A");
    EXPECT_EQ(base64_decode("QUI="), "AB");
    for (const char* bad : {"QQ", "QQ=", "Q===", "====", "QUJD=", "QQ==QQ==", "QUI=x", "QU I=", "QUI\t", "QU-_",
                            "QUJDRA", "\x80QUI="})
        EXPECT_THROW(base64_decode(bad), CodecError) << bad;
}

TEST(Zlib, HeaderRoundTripAndRejection) {
    const std::string data = mixed_data(500000, 13);
    std::string z = zlib_encode(data);
    EXPECT_EQ(zlib_decode(z), data);
    EXPECT_EQ(z, zlib_encode(data, 6));
    EXPECT_LT(zlib_encode(data, 9).size(), zlib_encode(data, 0).size());
    for (int level = 0; level <= 9; ++level) {
        std::string zl = zlib_encode(data, level);
        EXPECT_EQ(((unsigned char)zl[0] * 256 + (unsigned char)zl[1]) % 31, 0) << level;
        EXPECT_EQ(zlib_decode(zl), data) << level;
    }
    EXPECT_EQ(zlib_decode(zlib_encode("")), "");
    EXPECT_THROW(zlib_encode(data, 10), CodecError);

    for (std::size_t keep : {std::size_t(0), std::size_t(1), z.size() / 2, z.size() - 1})
        EXPECT_THROW(zlib_decode(z.substr(0, keep)), CodecError) << "cut at " << keep;
    EXPECT_THROW(zlib_decode(z + "x"), CodecError);
    EXPECT_THROW(zlib_decode(z + z), CodecError);
    for (std::size_t at : {std::size_t(0), std::size_t(1), z.size() / 2, z.size() - 2}) {
        std::string bad = z;
        bad[at] = char(bad[at] ^ 0x10);
        EXPECT_THROW(zlib_decode(bad), CodecError) << "flip at " << at;
    }
    try {
        zlib_decode("not zlib at all");
        FAIL();
    } catch (const CodecError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("zlib: ", 0), 0u) << e.what();
    }
}
