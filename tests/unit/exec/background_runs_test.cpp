#include "exec/background_runs.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct Ring {
    std::vector<char> bytes;
    OutputRing ring;
    explicit Ring(i64 capacity)
        : bytes(capacity)
        , ring { bytes.data(), capacity, 0 }
    {
    }
    void append(const std::string& text) { output_ring_append(&ring, text.data(), (i64)text.size()); }
    // The slice's text, its start and how much was dropped before it.
    std::string read(i64 from, i64 max, bool final, OutputSlice* slice)
    {
        std::vector<char> out(max > 0 ? max : 1);
        *slice = output_ring_read(&ring, from, max, final, out.data());
        return std::string(out.data(), slice->len);
    }
};

} // namespace

TEST(OutputRing, KeepsTheLastCapacityBytesAndCountsEveryOffset)
{
    Ring r(8);
    r.append("abcdef");
    r.append("ghij");
    EXPECT_EQ(r.ring.written, 10);
    OutputSlice slice {};
    EXPECT_EQ(r.read(0, 100, true, &slice), "cdefghij");
    EXPECT_EQ((std::vector<i64> { slice.from, slice.len, slice.dropped }), (std::vector<i64> { 2, 8, 2 }));
    EXPECT_EQ(r.read(5, 3, true, &slice), "fgh");
    EXPECT_EQ(slice.dropped, 0);
    EXPECT_EQ(r.read(10, 100, true, &slice), "");
    EXPECT_EQ(r.read(50, 100, true, &slice), "");
    EXPECT_EQ(slice.from, 10);
    // A piece longer than the ring leaves only its end.
    r.append("0123456789XY");
    EXPECT_EQ(r.ring.written, 22);
    EXPECT_EQ(r.read(0, 100, true, &slice), "456789XY");
    EXPECT_EQ(slice.dropped, 14);
}

TEST(OutputRing, LeavesACutUtf8SequenceForTheNextReadWhileMoreMayCome)
{
    Ring r(16);
    r.append("ab\xC3");
    OutputSlice slice {};
    EXPECT_EQ(r.read(0, 16, false, &slice), "ab");
    EXPECT_EQ(r.read(0, 16, true, &slice), "ab\xC3");
    r.append("\xA9z");
    EXPECT_EQ(r.read(2, 16, false, &slice), "\xC3\xA9z");
    // A read cut short by its own limit holds a sequence back even at the end.
    EXPECT_EQ(r.read(0, 3, true, &slice), "ab");
}
