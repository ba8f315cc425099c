#include "runtime/inflate.h"
#include "inflate_fixtures.h"
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

// The stream is copied into a block of exactly its size and inflated into a block of
// exactly capacity bytes, so AddressSanitizer reports any read or write past either.
struct Inflated {
    i64 len;
    std::string bytes;
};

Inflated inflate(const std::string& stream, i64 capacity)
{
    std::unique_ptr<u8[]> in(new u8[stream.size()]);
    std::unique_ptr<u8[]> out(new u8[(size_t)capacity]);
    for (size_t i = 0; i < stream.size(); i++)
        in[i] = (u8)stream[i];
    i64 len = inflate_raw(in.get(), (i64)stream.size(), out.get(), capacity);
    return { len, len < 0 ? "" : std::string((const char*)out.get(), (size_t)len) };
}

std::string plain_of(const InflateFixture& f) { return std::string(f.plain, (size_t)f.plain_len); }
std::string stream_of(const InflateFixture& f) { return std::string(f.stream, (size_t)f.stream_len); }

// Bits as DEFLATE packs them: fields lowest bit first, Huffman codes highest bit first.
struct BitWriter {
    std::string bytes;
    int used = 8;
    void put(u32 value, int n)
    {
        for (int i = 0; i < n; i++) {
            if (used == 8) {
                bytes += '\0';
                used = 0;
            }
            bytes.back() = (char)(bytes.back() | (((value >> i) & 1) << used++));
        }
    }
    void code(u32 value, int n)
    {
        for (int i = n - 1; i >= 0; i--)
            put((value >> i) & 1, 1);
    }
    void align() { used = 8; }
};

// Fixed-code symbols (RFC 1951 3.2.6).
void fixed_literal(BitWriter& w, int symbol)
{
    if (symbol < 144)
        w.code(0x30 + symbol, 8);
    else if (symbol < 256)
        w.code(0x190 + symbol - 144, 9);
    else if (symbol < 280)
        w.code(symbol - 256, 7);
    else
        w.code(0xC0 + symbol - 280, 8);
}

// A final fixed-code block of literals and matches: a length symbol is followed by its
// distance code, and each by the extra bits the RFC gives its run (all zero), counted as
// though the run went on for the symbols that mean nothing (286 and 287, 30 and 31).
std::string fixed_block(const std::vector<int>& symbols_and_distances)
{
    BitWriter w;
    w.put(1, 1);
    w.put(1, 2);
    for (size_t i = 0; i < symbols_and_distances.size(); i++) {
        int symbol = symbols_and_distances[i];
        fixed_literal(w, symbol);
        if (symbol <= 256)
            continue;
        w.put(0, symbol < 265 || symbol == 285 ? 0 : (symbol - 261) / 4);
        int distance = symbols_and_distances[++i];
        w.code(distance, 5);
        w.put(0, distance < 4 ? 0 : distance / 2 - 1);
    }
    fixed_literal(w, 256);
    return w.bytes;
}

// A final dynamic block holding only its end code. Of its literal/length lengths only
// 256's is not zero (none, without end_code); of its distance lengths only the first. The
// code-length code has two codes of one bit: 0 for length 1, 1 for symbol 18 (a run of 11
// to 138 zeros), and with length_of_16 a code for 16 too, which makes it over-full. With
// run_past_end the distance lengths are one run of 11 zeros, past the last length.
struct DynamicShape {
    int literals = 257;
    int distances = 1;
    bool end_code = true;
    bool run_past_end = false;
    u32 length_of_16 = 0;
};

std::string dynamic_block(const DynamicShape& shape)
{
    BitWriter w;
    w.put(1, 1);
    w.put(2, 2);
    w.put(shape.literals - 257, 5);
    w.put(shape.distances - 1, 5);
    w.put(18 - 4, 4);
    // The code-length code's lengths in their order 16, 17, 18, 0, 8, ... 2, 14, 1.
    for (int i = 0; i < 18; i++)
        w.put(i == 0 ? shape.length_of_16 : i == 2 || i == 17 ? 1 : 0, 3);
    auto zeros = [&w](int n) {
        while (n > 0) {
            int run = n <= 138 ? n : n - 138 < 11 ? n - 11 : 138;
            w.code(1, 1);
            w.put(run - 11, 7);
            n -= run;
        }
    };
    if (shape.end_code) {
        zeros(256);
        w.code(0, 1);
        zeros(shape.literals - 257);
    } else
        zeros(shape.literals);
    if (shape.run_past_end) {
        w.code(1, 1);
        w.put(0, 7);
    } else {
        w.code(0, 1);
        zeros(shape.distances - 1);
    }
    // The block: its end code, the only literal code, one bit.
    w.code(0, 1);
    return w.bytes;
}

std::string stored_block(const std::string& data, u32 complement_xor = 0xFFFF)
{
    BitWriter w;
    w.put(1, 1);
    w.put(0, 2);
    w.align();
    w.put((u32)data.size(), 16);
    w.put((u32)data.size() ^ complement_xor, 16);
    return w.bytes + data;
}

}

TEST(Inflate, GivesBackWhatZlibDeflatedInEveryKindOfBlock)
{
    for (const InflateFixture& f : k_inflate_fixtures) {
        SCOPED_TRACE(f.name);
        // Into exactly the room it needs, and into more.
        for (i64 capacity : { f.plain_len, f.plain_len + 1000 }) {
            Inflated out = inflate(stream_of(f), capacity);
            ASSERT_EQ(out.len, f.plain_len);
            EXPECT_TRUE(out.bytes == plain_of(f));
        }
    }
}

TEST(Inflate, RefusesEveryStreamCutShortAndAnyByteAfterTheEnd)
{
    for (const InflateFixture& f : k_inflate_fixtures) {
        SCOPED_TRACE(f.name);
        std::string stream = stream_of(f);
        // Every cut of the small streams; of the large ones the first and last few hundred
        // and a spread between.
        for (i64 cut = 0; cut < f.stream_len; cut += cut < 300 || cut > f.stream_len - 300 ? 1 : 97)
            EXPECT_EQ(inflate(stream.substr(0, (size_t)cut), f.plain_len).len, -1) << "cut at " << cut;
        EXPECT_EQ(inflate(stream + '\0', f.plain_len + 1).len, -1);
    }
}

TEST(Inflate, RefusesTooSmallAnOutputWithoutWritingPastIt)
{
    for (const InflateFixture& f : k_inflate_fixtures) {
        SCOPED_TRACE(f.name);
        if (f.plain_len == 0)
            continue;
        for (i64 capacity : { (i64)0, f.plain_len / 2, f.plain_len - 1 })
            EXPECT_EQ(inflate(stream_of(f), capacity).len, -1) << "capacity " << capacity;
    }
    // Byte by byte up to the end of the stream that mixes stored and compressed blocks.
    const InflateFixture& mixed = k_inflate_fixtures[4];
    ASSERT_STREQ(mixed.name, "flushed");
    for (i64 capacity = mixed.plain_len - 800; capacity < mixed.plain_len; capacity++)
        ASSERT_EQ(inflate(stream_of(mixed), capacity).len, -1) << "capacity " << capacity;
}

// Whatever a damaged stream holds, nothing is read or written out of bounds (which
// AddressSanitizer checks here). DEFLATE has no checksum: a flip in a stored block's bytes
// or in a literal's code makes another valid stream, so only some damage is refused.
TEST(Inflate, SurvivesEverySingleBitFlip)
{
    const InflateFixture& mixed = k_inflate_fixtures[4];
    std::string stream = stream_of(mixed);
    i64 refused = 0;
    for (size_t at = 0; at < stream.size(); at++)
        for (int bit = 0; bit < 8; bit++) {
            std::string damaged = stream;
            damaged[at] = (char)(damaged[at] ^ (1 << bit));
            Inflated out = inflate(damaged, mixed.plain_len);
            ASSERT_LE(out.len, mixed.plain_len);
            refused += out.len < 0;
        }
    EXPECT_GT(refused, 0);
}

TEST(Inflate, CopiesMatchesThatOverlapThemselvesAndRefusesOnesBeforeTheStart)
{
    // 'a', then 258 bytes from one back (symbol 285, distance code 0).
    Inflated run = inflate(fixed_block({ 'a', 285, 0 }), 259);
    EXPECT_EQ(run.len, 259);
    EXPECT_EQ(run.bytes, std::string(259, 'a'));
    EXPECT_EQ(inflate(fixed_block({ 'a', 285, 0 }), 258).len, -1);
    // "ab" then 3 bytes (symbol 257) from two back (distance code 1): "ababa".
    EXPECT_EQ(inflate(fixed_block({ 'a', 'b', 257, 1 }), 5).bytes, "ababa");
    EXPECT_EQ(inflate(fixed_block({ 'a', 257, 1 }), 16).len, -1);
    EXPECT_EQ(inflate(fixed_block({ 257, 0 }), 16).len, -1);
}

TEST(Inflate, RefusesSymbolsNoCodeHas)
{
    // Length symbols 286 and 287 and distance codes 30 and 31 exist in the fixed code but
    // mean nothing; read as the next steps of their runs they would fit here.
    EXPECT_EQ(inflate(fixed_block({ 'a', 285, 0 }), 1024).len, 259);
    EXPECT_EQ(inflate(fixed_block({ 'a', 286, 0 }), 1024).len, -1);
    EXPECT_EQ(inflate(fixed_block({ 'a', 287, 0 }), 1024).len, -1);
    std::vector<int> far = { 'a' };
    for (int i = 0; i < 200; i++)
        far.insert(far.end(), { 285, 0 });
    i64 far_len = 1 + 200 * 258;
    EXPECT_EQ(inflate(fixed_block(far), far_len).len, far_len);
    for (int code : { 29, 30, 31 }) {
        std::vector<int> symbols = far;
        symbols.insert(symbols.end(), { 257, code });
        EXPECT_EQ(inflate(fixed_block(symbols), far_len + 3).len, code == 29 ? far_len + 3 : -1) << "distance code " << code;
    }
    // Block type 3 is reserved.
    BitWriter reserved;
    reserved.put(1, 1);
    reserved.put(3, 2);
    EXPECT_EQ(inflate(reserved.bytes, 16).len, -1);
}

TEST(Inflate, StoredBlockNeedsItsLengthsComplementAndItsBytes)
{
    EXPECT_EQ(inflate(stored_block("hello"), 5).bytes, "hello");
    EXPECT_EQ(inflate(stored_block(""), 0).len, 0);
    EXPECT_EQ(inflate(stored_block("hello", 0xFFFE), 5).len, -1);
    EXPECT_EQ(inflate(stored_block("hello").substr(0, 9), 5).len, -1);
    EXPECT_EQ(inflate(stored_block("hello"), 4).len, -1);
}

TEST(Inflate, DynamicHeaderWithinTheCodesCountsAndWithAnEndCode)
{
    EXPECT_EQ(inflate(dynamic_block({}), 0).len, 0);
    EXPECT_EQ(inflate(dynamic_block({ .literals = 286, .distances = 30 }), 0).len, 0);
    EXPECT_EQ(inflate(dynamic_block({ .literals = 287 }), 0).len, -1);
    EXPECT_EQ(inflate(dynamic_block({ .literals = 288 }), 0).len, -1);
    EXPECT_EQ(inflate(dynamic_block({ .distances = 31 }), 0).len, -1);
    EXPECT_EQ(inflate(dynamic_block({ .end_code = false }), 0).len, -1);
}

TEST(Inflate, RefusesAnOverfullCodeARunPastTheLengthsAndARepeatWithNothingBefore)
{
    // Two codes of one bit and one of two do not fit, though the stream never uses the third.
    EXPECT_EQ(inflate(dynamic_block({ .length_of_16 = 2 }), 0).len, -1);
    EXPECT_EQ(inflate(dynamic_block({ .run_past_end = true }), 0).len, -1);
    // Code lengths for 16 and 18 only (one bit each: 16 is 0), then 16 first: it would
    // repeat the length before the first.
    BitWriter w;
    w.put(1, 1);
    w.put(2, 2);
    w.put(0, 14);
    for (u32 len : { 1, 0, 1, 0 })
        w.put(len, 3);
    w.code(0, 1);
    w.put(0, 18);
    EXPECT_EQ(inflate(w.bytes, 16).len, -1);
}
