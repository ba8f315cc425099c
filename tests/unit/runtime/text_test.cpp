#include "runtime/heap.h"
#include "runtime/text.h"
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

static std::string decimal(i64 v, i64* advanced = nullptr)
{
    char buf[32] = {};
    i64 n = append_decimal(buf, 0, v);
    if (advanced)
        *advanced = n;
    return std::string(buf, n);
}

TEST(AppendDecimal, WritesValuesWithoutPadding)
{
    i64 n = 0;
    EXPECT_EQ(decimal(0, &n), "0");
    EXPECT_EQ(n, 1);
    EXPECT_EQ(decimal(7, &n), "7");
    EXPECT_EQ(n, 1);
    EXPECT_EQ(decimal(-42, &n), "-42");
    EXPECT_EQ(n, 3);
    EXPECT_EQ(decimal(1234567890, &n), "1234567890");
    EXPECT_EQ(n, 10);
}

TEST(AppendDecimal, HandlesExtremes)
{
    EXPECT_EQ(decimal(9223372036854775807L), "9223372036854775807");
    EXPECT_EQ(decimal(-9223372036854775807L - 1), "-9223372036854775808");
    EXPECT_LE((i64)decimal(-9223372036854775807L - 1).size(), k_decimal_max);
}

TEST(AppendBuilders, ReturnAdvancedPositions)
{
    char buf[32] = {};
    i64 pos = append_text(buf, 0, "ab");
    pos = append_byte(buf, pos, 'c');
    pos = append_bytes(buf, pos, "defg", 2);
    pos = append_bytes(buf, pos, "xyz", 0);
    EXPECT_EQ(pos, 5);
    EXPECT_EQ(std::string(buf), "abcde");
}

static std::string b64(const std::string& in, i64* len = nullptr)
{
    char out[64];
    fill_bytes(out, 'X', sizeof(out));
    i64 n = base64_encode(in.data(), (i64)in.size(), out);
    if (len)
        *len = n;
    EXPECT_EQ(out[n], 0);
    return std::string(out, n);
}

TEST(Base64Encode, PadsFinalGroup)
{
    EXPECT_EQ(b64("abc"), "YWJj");
    EXPECT_EQ(b64("ab"), "YWI=");
    EXPECT_EQ(b64("a"), "YQ==");
    i64 n = -1;
    EXPECT_EQ(b64("", &n), "");
    EXPECT_EQ(n, 0);
    EXPECT_EQ(b64("terox:wickerpod"), "dGVyb3g6d2lja2VycG9k");
    EXPECT_EQ(b64(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST(Utf8WellFormed, JudgesAsAppendJsonStringReplaces)
{
    for (const char* good : { "", "ascii \x01\x7f", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80" })
        EXPECT_TRUE(utf8_well_formed(good, (i64)strlen(good))) << good;
    for (const char* bad : { "\xff", "\xc3", "a\xe2\x82", "\xc0\x80", "\xed\xa0\x80", "\x80", "\xf4\x90\x80\x80" })
        EXPECT_FALSE(utf8_well_formed(bad, (i64)strlen(bad))) << bad;
}

TEST(BytesEqual, ComparesPrefixes)
{
    EXPECT_EQ(bytes_equal("abc", "abd", 0), 1);
    EXPECT_EQ(bytes_equal("abc", "abd", 2), 1);
    EXPECT_EQ(bytes_equal("abc", "abd", 3), 0);
}

TEST(FindBytes, FindsFirstOccurrenceFromOffset)
{
    EXPECT_EQ(find_bytes("abcabc", 6, 0, "bc", 2), 1);
    EXPECT_EQ(find_bytes("abcabc", 6, 2, "bc", 2), 4);
    EXPECT_EQ(find_bytes("abcabc", 6, 5, "bc", 2), -1);
    EXPECT_EQ(find_bytes("ab", 2, 0, "abc", 3), -1);
}

std::string json_string(const std::string& in)
{
    std::string out(k_json_string_max((i64)in.size()), '\0');
    i64 n = append_json_string(out.data(), 0, in.data(), (i64)in.size());
    EXPECT_LE(n, k_json_string_max((i64)in.size()));
    return out.substr(0, n);
}

TEST(AppendJsonString, EscapesEveryControlByte)
{
    EXPECT_EQ(json_string("a\"b\\c\nd\re\tf\x01\x1f\x7f"),
        R"("a\"b\\c\nd\re\tf\u0001\u001f)"
        "\x7f\"");
    EXPECT_EQ(json_string(std::string("\0", 1)), R"("\u0000")");
    EXPECT_EQ(json_string(std::string(3, '\x01')).size(), 20u);
}

TEST(AppendJsonString, WritesEachInvalidUtf8ByteAsReplacement)
{
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(json_string("x\300\257 \377"), "\"x" + fffd + fffd + " " + fffd + "\"");
    EXPECT_EQ(json_string("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"), "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\"");
    EXPECT_EQ(json_string("\xE0\x80\x80"), "\"" + fffd + fffd + fffd + "\""); // overlong
    EXPECT_EQ(json_string("\xED\xA0\x80"), "\"" + fffd + fffd + fffd + "\""); // surrogate
    EXPECT_EQ(json_string("\xF4\x90\x80\x80"), "\"" + fffd + fffd + fffd + fffd + "\""); // past U+10FFFF
    EXPECT_EQ(json_string("\xE2\x82"), "\"" + fffd + fffd + "\""); // cut off by the end
    EXPECT_EQ(json_string("\xE2\x82"
                          "a"),
        "\"" + fffd + fffd + "a\"");
}

// The measure is what the builder writes, byte for byte, for any bytes: checked against it
// on random byte strings biased towards the bytes that escape or break UTF-8 (the pool
// holds no U+FFFD of its own, so one in the output is a replacement).
TEST(MeasureJsonString, IsWhatAppendJsonStringWrites)
{
    const char pool[] = { 'a', '"', '\\', '\n', '\x01', '\x7f', '\xc3', '\xa9', '\xe2', '\x82', '\xac', '\xf0', '\x9f', '\xff', '\xed', '\xa0' };
    unsigned seed = 7;
    for (int round = 0; round < 2000; round++) {
        std::string bytes;
        for (int i = 0, n = round % 23; i < n; i++) {
            seed = seed * 1103515245 + 12345;
            bytes += pool[(seed >> 16) % sizeof(pool)];
        }
        std::string built = json_string(bytes);
        JsonStringSize size = measure_json_string(bytes.data(), (i64)bytes.size());
        ASSERT_EQ(size.bytes, (i64)built.size()) << round;
        ASSERT_EQ(size.lossy, built.find("\xEF\xBF\xBD") != std::string::npos) << round;
    }
}

TEST(MeasureJsonString, WorstCaseIsSixBytesABytePlusQuotes)
{
    std::string controls(1000, '\x01');
    EXPECT_EQ(measure_json_string(controls.data(), 1000).bytes, k_json_string_max(1000));
    EXPECT_FALSE(measure_json_string(controls.data(), 1000).lossy);
    std::string invalid(1000, '\xff');
    EXPECT_EQ(measure_json_string(invalid.data(), 1000).bytes, 3 * 1000 + 2);
    EXPECT_TRUE(measure_json_string(invalid.data(), 1000).lossy);
    EXPECT_EQ(measure_json_string("", 0).bytes, 2);
}

TEST(ForEachLine, EndsLinesAtLfCrOrCrLfAndSkipsEmptyOnes)
{
    std::vector<std::string> lines;
    std::string text = "a\r\nb\n\nc\rd\r\r\ne";
    for_each_line(text.data(), (i64)text.size(), [&](const char* line, i64 len) {
        lines.emplace_back(line, len);
        return false;
    });
    EXPECT_EQ(lines, (std::vector<std::string> { "a", "b", "c", "d", "e" }));
    lines.clear();
    for_each_line(text.data(), (i64)text.size(), [&](const char* line, i64 len) {
        lines.emplace_back(line, len);
        return lines.size() == 2;
    });
    EXPECT_EQ(lines.size(), 2u);
}

TEST(HeapAlloc, RoundsToEightAndZeroFills)
{
    if (!heap.heap_base)
        heap_init();
    char* mark = heap_mark();
    char* a = (char*)heap_alloc(1);
    char* b = (char*)heap_alloc(8);
    char* c = (char*)heap_alloc(9);
    char* d = (char*)heap_alloc(0);
    EXPECT_EQ(b - a, 8);
    EXPECT_EQ(c - b, 8);
    EXPECT_EQ(d - c, 16);
    EXPECT_EQ(heap_alloc(0), d);
    for (int i = 0; i < 9; i++)
        EXPECT_EQ(c[i], 0);
    fill_bytes(a, 0x5a, 32);
    heap_release(mark);
    char* again = (char*)heap_alloc(32);
    EXPECT_EQ(again, a);
    for (int i = 0; i < 32; i++)
        EXPECT_EQ(again[i], 0) << "byte " << i << " not cleared after release";
    heap_release(mark);
}

TEST(EqualInConstantTime, ComparesWholeSpans)
{
    EXPECT_TRUE(equal_in_constant_time({ "abc", 3 }, { "abc", 3 }));
    EXPECT_TRUE(equal_in_constant_time({ "", 0 }, { "", 0 }));
    EXPECT_FALSE(equal_in_constant_time({ "abd", 3 }, { "abc", 3 }));
    EXPECT_FALSE(equal_in_constant_time({ "ab", 2 }, { "abc", 3 }));
    EXPECT_FALSE(equal_in_constant_time({ "abcd", 4 }, { "abc", 3 }));
    EXPECT_FALSE(equal_in_constant_time({ "", 0 }, { "a", 1 }));
}
