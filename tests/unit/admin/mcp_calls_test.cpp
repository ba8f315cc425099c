#include "admin/mcp_calls.h"
#include <gtest/gtest.h>
#include <set>
#include <string.h>
#include <string>

namespace {

// The connections still open, by serial.
std::set<u64> open_serials;
bool live(int, u64 serial) { return open_serials.count(serial) > 0; }

McpCaller caller(bool bound, const char* name)
{
    McpCaller c {};
    c.bound = bound;
    c.len = (i64)strlen(name);
    memcpy(c.name, name, (size_t)c.len);
    return c;
}

ByteSpan id(const char* text) { return { text, (i64)strlen(text) }; }

struct McpCalls : ::testing::Test {
    u64 next_serial = 1000;
    void TearDown() override
    {
        // Every record's connection closes, so the next test starts with a free table.
        open_serials.clear();
    }
    u64 open(int conn, const McpCaller& who, const char* request_id)
    {
        u64 serial = next_serial++;
        open_serials.insert(serial);
        EXPECT_TRUE(mcp_call_record(conn, serial, who, id(request_id), live));
        return serial;
    }
};

} // namespace

// Ids are per caller: the same id from another agent, from the admin acting for the same
// name, or in another spelling finds nothing, and a call is taken once.
TEST_F(McpCalls, OnlyTheSameCallerFindsItsCall)
{
    McpCaller alice = caller(true, "alice");
    open(5, alice, "3");
    open(6, caller(true, "bob"), "3");
    EXPECT_EQ(mcp_call_take(caller(true, "mallory"), id("3"), live), -1);
    EXPECT_EQ(mcp_call_take(caller(false, "alice"), id("3"), live), -1);
    EXPECT_EQ(mcp_call_take(caller(true, "alic"), id("3"), live), -1);
    EXPECT_EQ(mcp_call_take(alice, id("\"3\""), live), -1);
    EXPECT_EQ(mcp_call_take(alice, id("3"), live), 5);
    EXPECT_EQ(mcp_call_take(alice, id("3"), live), -1);
    EXPECT_EQ(mcp_call_take(caller(true, "bob"), id("3"), live), 6);
}

// A connection that closed (its descriptor perhaps reused by another) is no call any more;
// of two live calls with one id the newest is taken; an answered call is forgotten.
TEST_F(McpCalls, ClosedAnsweredAndReusedIds)
{
    McpCaller admin = caller(false, "ops");
    u64 gone = open(7, admin, "\"job\"");
    open_serials.erase(gone);
    EXPECT_EQ(mcp_call_take(admin, id("\"job\""), live), -1);
    open(8, admin, "1");
    open(9, admin, "1");
    EXPECT_EQ(mcp_call_take(admin, id("1"), live), 9);
    EXPECT_EQ(mcp_call_take(admin, id("1"), live), 8);
    u64 answered = open(10, admin, "2");
    mcp_call_forget(10, answered);
    EXPECT_EQ(mcp_call_take(admin, id("2"), live), -1);
}

// The table holds k_mcp_calls_max live calls; a record whose connection closed is taken
// again, and an id longer than the endpoint takes is refused.
TEST_F(McpCalls, HoldsItsCapacityOfLiveCalls)
{
    McpCaller agent = caller(true, "busy");
    u64 first = 0;
    for (i64 i = 0; i < k_mcp_calls_max; i++) {
        u64 serial = open((int)i, agent, "9");
        first = first ? first : serial;
    }
    EXPECT_FALSE(mcp_call_record(100, next_serial, agent, id("10"), live));
    open_serials.erase(first);
    open_serials.insert(next_serial);
    EXPECT_TRUE(mcp_call_record(100, next_serial, agent, id("10"), live));
    std::string long_id(k_mcp_call_id_max + 1, '1');
    EXPECT_FALSE(mcp_call_record(101, next_serial + 1, agent, { long_id.data(), (i64)long_id.size() }, live));
}
