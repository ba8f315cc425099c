// Huffman codes are decoded the canonical way, one bit at a time: for each code length the
// codes of that length are consecutive numbers starting where the shorter ones left off, so
// a table of how many codes each length has and the symbols in code order is all a code
// needs. Slow per bit, but the tables are small and built in a moment, and the page is
// inflated once.
#include "runtime/inflate.h"

namespace {

struct BitReader {
    const u8* in;
    i64 len;
    // The next byte to load.
    i64 pos;
    // Bits loaded and not yet taken, the next one lowest; fewer than 8 between reads.
    u32 bits;
    int count;
    // A read wanted bytes past the end: the stream is cut short.
    bool short_input;
};

struct Output {
    u8* bytes;
    i64 capacity;
    i64 length;
};

// A canonical Huffman code: how many codes each length 1..15 has, and the symbols sorted
// by code.
struct HuffmanCode {
    u16 count[16];
    u16 symbol[288];
};

}

// The next n bits (n <= 16), first bit lowest; 0 and short_input when the input has ended.
static u32 take_bits(BitReader* r, int n)
{
    while (r->count < n) {
        if (r->pos >= r->len) {
            r->short_input = true;
            return 0;
        }
        r->bits |= (u32)r->in[r->pos++] << r->count;
        r->count += 8;
    }
    u32 value = r->bits & ((1u << n) - 1);
    r->bits >>= n;
    r->count -= n;
    return value;
}

// The code for symbols 0..n-1 with the given code lengths (0: the symbol has no code).
// False when the lengths ask for more codes than fit (an over-full code); a code with
// room to spare is kept, and a bit pattern it lacks is refused when decoded.
static bool build_code(HuffmanCode* code, const u8* lengths, int n)
{
    for (int len = 0; len < 16; len++)
        code->count[len] = 0;
    for (int s = 0; s < n; s++)
        code->count[lengths[s]]++;
    u16 next[16];
    int left = 1;
    next[1] = 0;
    for (int len = 1; len < 16; len++) {
        left = 2 * left - code->count[len];
        if (left < 0)
            return false;
        if (len < 15)
            next[len + 1] = (u16)(next[len] + code->count[len]);
    }
    for (int s = 0; s < n; s++)
        if (lengths[s] != 0)
            code->symbol[next[lengths[s]]++] = (u16)s;
    return true;
}

// The next symbol of code, or -1 when fifteen bits form none of its codes.
static int decode_symbol(BitReader* r, const HuffmanCode* code)
{
    // bits: the code read so far; first: the first code of this length; index: the
    // position of that code's symbol.
    int bits = 0;
    int first = 0;
    int index = 0;
    for (int len = 1; len < 16; len++) {
        bits |= (int)take_bits(r, 1);
        int count = code->count[len];
        if (bits - first < count)
            return code->symbol[index + bits - first];
        index += count;
        first = (first + count) << 1;
        bits <<= 1;
    }
    return -1;
}

// A match length (k = 2, offset 3, symbol 0..27) or distance (k = 1, offset 1, symbol
// 0..29): the first 2^k symbols stand for offset + symbol; after them each run of 2^k
// symbols takes one extra bit more than the run before, its steps twice as long.
static i64 extended_value(BitReader* r, int symbol, int k, int offset)
{
    int run = 1 << k;
    if (symbol < run)
        return symbol + offset;
    int extra = (symbol >> k) - 1;
    return ((i64)(run + (symbol & (run - 1))) << extra) + offset + take_bits(r, extra);
}

// The order in which a dynamic block gives the lengths of its code-length code.
static constexpr u8 k_length_order[19] = { 16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15 };

static void fixed_codes(HuffmanCode* literals, HuffmanCode* distances)
{
    u8 lengths[288];
    for (int s = 0; s < 288; s++)
        lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    build_code(literals, lengths, 288);
    for (int s = 0; s < 30; s++)
        lengths[s] = 5;
    build_code(distances, lengths, 30);
}

// A dynamic block's header: its code-length code, then the literal/length and distance
// code lengths in that code, runs included.
static bool dynamic_codes(BitReader* r, HuffmanCode* literals, HuffmanCode* distances)
{
    int literal_count = (int)take_bits(r, 5) + 257;
    int distance_count = (int)take_bits(r, 5) + 1;
    int length_count = (int)take_bits(r, 4) + 4;
    if (literal_count > 286 || distance_count > 30)
        return false;
    int total = literal_count + distance_count;
    u8 lengths[286 + 30];
    for (int i = 0; i < 19; i++)
        lengths[i] = 0;
    for (int i = 0; i < length_count; i++)
        lengths[k_length_order[i]] = (u8)take_bits(r, 3);
    // The literal code's table holds the code-length code until the lengths are read.
    if (!build_code(literals, lengths, 19))
        return false;
    for (int i = 0; i < total;) {
        int symbol = decode_symbol(r, literals);
        if (symbol < 0 || r->short_input)
            return false;
        if (symbol < 16) {
            lengths[i++] = (u8)symbol;
            continue;
        }
        // 16 repeats the length before 3..6 times; 17 and 18 give 3..10 and 11..138 zeros.
        u8 value = 0;
        int repeat = 0;
        if (symbol == 16) {
            if (i == 0)
                return false;
            value = lengths[i - 1];
            repeat = 3 + (int)take_bits(r, 2);
        } else if (symbol == 17)
            repeat = 3 + (int)take_bits(r, 3);
        else
            repeat = 11 + (int)take_bits(r, 7);
        if (repeat > total - i)
            return false;
        while (repeat-- > 0)
            lengths[i++] = value;
    }
    // A literal code without the end-of-block code is kept: its block cannot end, so the
    // stream is refused when its input or its room runs out.
    return build_code(literals, lengths, literal_count) && build_code(distances, lengths + literal_count, distance_count);
}

// One block's literals and matches up to its end-of-block code.
static bool inflate_codes(BitReader* r, const HuffmanCode* literals, const HuffmanCode* distances, Output* out)
{
    for (;;) {
        int symbol = decode_symbol(r, literals);
        if (symbol < 0 || r->short_input)
            return false;
        if (symbol == 256)
            return true;
        if (symbol < 256) {
            if (out->length == out->capacity)
                return false;
            out->bytes[out->length++] = (u8)symbol;
            continue;
        }
        // The fixed code has symbols 286 and 287, which stand for nothing.
        if (symbol > 285)
            return false;
        i64 length = symbol == 285 ? 258 : extended_value(r, symbol - 257, 2, 3);
        // Distance codes 30 and 31 are in no table: the fixed one has 30 codes, and a
        // dynamic one is refused with more.
        int code = decode_symbol(r, distances);
        if (code < 0)
            return false;
        i64 distance = extended_value(r, code, 1, 1);
        if (r->short_input || distance > out->length || length > out->capacity - out->length)
            return false;
        // Byte by byte: a match may overlap the bytes it is writing.
        for (i64 i = 0; i < length; i++, out->length++)
            out->bytes[out->length] = out->bytes[out->length - distance];
    }
}

// A stored block: the rest of the current byte is skipped, then a length, its complement
// and that many bytes.
static bool copy_stored(BitReader* r, Output* out)
{
    r->bits = 0;
    r->count = 0;
    i64 len = take_bits(r, 16);
    i64 complement = take_bits(r, 16);
    if (r->short_input || (len ^ complement) != 0xFFFF)
        return false;
    if (len > r->len - r->pos || len > out->capacity - out->length)
        return false;
    for (i64 i = 0; i < len; i++)
        out->bytes[out->length++] = r->in[r->pos++];
    return true;
}

i64 inflate_raw(const u8* in, i64 in_len, u8* bytes, i64 capacity)
{
    BitReader r { in, in_len, 0, 0, 0, false };
    Output out { bytes, capacity, 0 };
    HuffmanCode literals;
    HuffmanCode distances;
    for (bool last = false; !last;) {
        last = take_bits(&r, 1) != 0;
        u32 type = take_bits(&r, 2);
        bool ok = false;
        if (type == 0)
            ok = copy_stored(&r, &out);
        else if (type == 1) {
            fixed_codes(&literals, &distances);
            ok = inflate_codes(&r, &literals, &distances, &out);
        } else if (type == 2)
            ok = dynamic_codes(&r, &literals, &distances) && inflate_codes(&r, &literals, &distances, &out);
        if (!ok || r.short_input)
            return -1;
    }
    // The final block ends in the last byte: anything after it is no part of this stream.
    return r.pos == in_len ? out.length : -1;
}
