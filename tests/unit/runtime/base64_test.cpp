#include "runtime/base64.h"
#include "runtime/text.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::string encode(const std::string& bytes)
{
    std::vector<char> out((size_t)base64_len((i64)bytes.size()) + 1);
    i64 len = base64_encode(bytes.data(), (i64)bytes.size(), out.data());
    EXPECT_EQ(len, base64_len((i64)bytes.size()));
    return std::string(out.data(), (size_t)len);
}

// The decoded bytes, or "<refused>".
std::string decode(const std::string& text)
{
    std::vector<char> out(text.size() + 1);
    i64 len = base64_decode(text.data(), (i64)text.size(), out.data());
    return len < 0 ? "<refused>" : std::string(out.data(), (size_t)len);
}

TEST(Base64Decode, RoundTripsEveryByteValueAtEveryPadding)
{
    std::string all;
    for (int b = 0; b < 256; b++)
        all += (char)b;
    for (size_t cut = 0; cut <= 6; cut++) {
        std::string bytes = all.substr(cut);
        ASSERT_EQ(decode(encode(bytes)), bytes) << cut;
    }
    for (int b = 0; b < 256; b++) {
        std::string one(1, (char)b), three = std::string(3, (char)b);
        ASSERT_EQ(decode(encode(one)), one) << b;
        ASSERT_EQ(decode(encode(three)), three) << b;
    }
    EXPECT_EQ(decode(""), "");
}

TEST(Base64Decode, DecodesInPlace)
{
    std::string bytes = "\x00\xff\x10 any bytes \x80";
    std::string text = encode(bytes);
    i64 len = base64_decode(text.data(), (i64)text.size(), text.data());
    EXPECT_EQ(text.substr(0, (size_t)len), bytes);
}

TEST(Base64Decode, RefusesAnythingButTheOneEncoding)
{
    EXPECT_EQ(decode("QQ=="), "A");
    EXPECT_EQ(decode("QUI="), "AB");
    EXPECT_EQ(decode("+/+/"), "\xfb\xff\xbf");
    const char* refused[] = {
        "Q", "QQ", "QQ=", "QUJDR", // not whole groups
        "QQ==QQ==", "Q===", "====", "=QQQ", "QQ=Q", // padding not at the end
        "QR==", "QUJ=", // padded bits not zero
        "QUJD\nQUJD", "QUJD QUJD", "QUJD\r\n", // line breaks and blanks
        "QU-D", "QU_D", "QU.D", "QUJ\xc3", // other alphabets and bytes
    };
    for (const char* text : refused)
        EXPECT_EQ(decode(text), "<refused>") << text;
}

} // namespace
