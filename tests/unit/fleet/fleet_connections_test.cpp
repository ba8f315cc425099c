#include "fleet/fleet_connections.h"
#include "fleet/fleet_response.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

static FleetFrame frame(const std::string& req, i64 capacity = k_fleet_request_max)
{
    return fleet_frame_request(req.data(), (i64)req.size(), 0, capacity);
}

TEST(FleetFrameRequest, EndsAtTheFirstEmptyLineWhateverTheLineEnds)
{
    const std::string head = "GET / HTTP/1.1\r\nHost: x";
    const struct {
        std::string end;
        i64 block_extra;
    } cases[] = {
        { "\r\n\r\n", 4 },
        { "\n\n", 2 },
        { "\n\r\n", 3 },
        { "\r\n\n", 3 },
    };
    for (const auto& c : cases) {
        FleetFrame f = frame(head + c.end + "body\r\n\r\nmore");
        EXPECT_EQ(f.framing, FleetFraming::complete) << c.block_extra;
        EXPECT_EQ(f.block_len, (i64)head.size() + c.block_extra);
    }
}

TEST(FleetFrameRequest, WaitsForTheEmptyLine)
{
    for (const char* partial : { "", "GET / HTTP/1.1", "GET / HTTP/1.1\r\n", "GET / HTTP/1.1\r\nHost: x\r\n\r",
             "GET / HTTP/1.1\r\n\rHost: x\r\n", "GET / HTTP/1.1\r\nA: \r\r\n" })
        EXPECT_EQ(frame(partial).framing, FleetFraming::incomplete) << partial;
}

TEST(FleetFrameRequest, FindsTheEndHoweverTheBytesArrive)
{
    // Every way of cutting the request into two reads, and one byte per read, must find
    // the same end: the terminator may straddle the reads anywhere.
    const std::string req = "GET / HTTP/1.1\r\nAuthorization: Basic x\r\n\r\nbody";
    const i64 block = (i64)req.size() - 4;
    for (i64 cut = 0; cut <= (i64)req.size(); cut++) {
        FleetFrame first = fleet_frame_request(req.data(), cut, 0, k_fleet_request_max);
        FleetFrame f = first.framing == FleetFraming::complete
            ? first
            : fleet_frame_request(req.data(), (i64)req.size(), cut, k_fleet_request_max);
        EXPECT_EQ(f.framing, FleetFraming::complete) << cut;
        EXPECT_EQ(f.block_len, block) << cut;
        EXPECT_EQ(first.framing == FleetFraming::complete, cut >= block) << cut;
    }
    FleetFrame f { FleetFraming::incomplete, 0 };
    for (i64 len = 1; len <= (i64)req.size() && f.framing == FleetFraming::incomplete; len++)
        f = fleet_frame_request(req.data(), len, len - 1, k_fleet_request_max);
    EXPECT_EQ(f.block_len, block);
}

TEST(FleetFrameRequest, BlockOfExactlyTheCapacityFitsOneMoreByteDoesNot)
{
    auto padded = [](i64 block_len) {
        std::string start = "GET / HTTP/1.1\r\nX-Pad: ";
        return start + std::string(block_len - start.size() - 4, 'p') + "\r\n\r\n";
    };
    std::string fits = padded(k_fleet_request_max);
    FleetFrame f = frame(fits);
    EXPECT_EQ(f.framing, FleetFraming::complete);
    EXPECT_EQ(f.block_len, k_fleet_request_max);
    // The loop reads at most the capacity, so the longer block's end is never seen.
    std::string over = padded(k_fleet_request_max + 1).substr(0, k_fleet_request_max);
    EXPECT_EQ(frame(over).framing, FleetFraming::too_large);
}

TEST(FleetTooLarge, ContentLengthMatchesItsText)
{
    std::string answer(k_fleet_too_large, k_fleet_too_large_len);
    size_t split = answer.find("\r\n\r\n");
    ASSERT_NE(split, std::string::npos);
    std::string body = answer.substr(split + 4);
    EXPECT_NE(answer.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
    EXPECT_EQ(body, "Request header block over " + std::to_string(k_fleet_request_max) + " bytes");
}

static FleetConnection conn(FleetPhase phase, i64 accepted_ms, i64 progress_ms = 0)
{
    FleetConnection c {};
    c.phase = phase;
    c.accepted_ms = accepted_ms;
    c.progress_ms = progress_ms ? progress_ms : accepted_ms;
    return c;
}

TEST(FleetSlotForNew, TakesAFreeSlotBeforeDroppingAnyone)
{
    std::vector<FleetConnection> slots(4, conn(FleetPhase::reading, 100));
    slots[2] = {};
    EXPECT_EQ(fleet_slot_for_new(slots.data(), 4), 2);
}

TEST(FleetSlotForNew, DropsTheOldestStillReadingThenTheOldestOfAll)
{
    std::vector<FleetConnection> slots = {
        conn(FleetPhase::writing, 100),
        conn(FleetPhase::reading, 300),
        conn(FleetPhase::draining, 50),
        conn(FleetPhase::reading, 200),
        conn(FleetPhase::reading, 200),
    };
    EXPECT_EQ(fleet_slot_for_new(slots.data(), 5), 3);
    for (auto& s : slots)
        if (s.phase == FleetPhase::reading)
            s.phase = FleetPhase::writing;
    EXPECT_EQ(fleet_slot_for_new(slots.data(), 5), 2);
}

TEST(FleetConnectionDeadline, SilenceOrTheWholeRequestWhicheverEndsFirst)
{
    EXPECT_EQ(fleet_connection_deadline_ms(conn(FleetPhase::reading, 1000)), 1000 + k_fleet_silence_ms);
    EXPECT_EQ(fleet_connection_deadline_ms(conn(FleetPhase::writing, 1000, 5000)), 5000 + k_fleet_silence_ms);
    // A peer that keeps sending a byte now and then is still ended by the request limit.
    EXPECT_EQ(fleet_connection_deadline_ms(conn(FleetPhase::reading, 1000, 10500)), 1000 + k_fleet_request_ms);
}

TEST(FleetWaitMs, UntilTheEarliestDeadline)
{
    std::vector<FleetConnection> slots(3);
    EXPECT_EQ(fleet_wait_ms(slots.data(), 3, 5000), -1);
    slots[1] = conn(FleetPhase::reading, 4000);
    slots[2] = conn(FleetPhase::writing, 3000, 4500);
    EXPECT_EQ(fleet_wait_ms(slots.data(), 3, 5000), 4000 + k_fleet_silence_ms - 5000);
    EXPECT_EQ(fleet_wait_ms(slots.data(), 3, 9000), 0);
}
