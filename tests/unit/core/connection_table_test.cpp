#include "core/connection_table.h"
#include "core/http_response.h"
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct ConnectionTable : ::testing::Test {
    void SetUp() override
    {
        if (!heap.heap_base)
            heap_init();
        if (connections_capacity() == 0)
            ASSERT_EQ(connections_init(4, 16 * k_page_size), 1);
    }
    int open_pair()
    {
        int pair[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        peers.push_back(pair[1]);
        return pair[0];
    }
    void TearDown() override
    {
        for (i64 i = 0; i < connections_capacity(); i++)
            connection_close(connection_at(i));
        for (int fd : peers)
            close(fd);
    }
    std::vector<int> peers;
};

TEST_F(ConnectionTable, AnswersOfALoopConnectionAreQueuedByReferenceNotWritten)
{
    int fd = open_pair();
    Connection* c = connection_open(fd, 100);
    ASSERT_NE(c, nullptr);
    static constexpr char body[] = "{}";
    heap_enter(&c->arena);
    send_json(fd, 200, "OK", body, 2);
    // A request has one answer: a later one does not replace or extend it.
    send_json(fd, 500, "Internal Server Error", "{}", 2);
    heap_leave();
    EXPECT_TRUE(c->answer_ready);
    EXPECT_EQ(c->out_body, body);
    EXPECT_EQ(c->out_body_len, 2);
    std::string head(c->out_head, c->out_head_len);
    EXPECT_EQ(head.substr(0, 17), "HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n");
    EXPECT_GE(c->out_head, c->arena.base);
    EXPECT_LT(c->out_head, c->arena.end);
    char buf[8];
    EXPECT_EQ(recv(peers.back(), buf, sizeof(buf), MSG_DONTWAIT), -1);
    EXPECT_EQ(connection_queue(fd + 1000, "x", 1, nullptr, 0), 0);
}

TEST_F(ConnectionTable, AnAnswerThatDoesNotFitIsA503NotAnOverrun)
{
    int fd = open_pair();
    Connection* c = connection_open(fd, 100);
    ASSERT_NE(c, nullptr);
    heap_enter(&c->arena);
    ASSERT_NE(heap_alloc((u64)(c->arena.end - c->arena.next) - 64), nullptr);
    send_json_error(fd, 400, "Bad Request", "a message that needs its own buffer");
    heap_leave();
    ASSERT_TRUE(c->answer_ready);
    std::string head(c->out_head, c->out_head_len);
    std::string body(c->out_body, c->out_body_len);
    EXPECT_EQ(head.substr(0, 33), "HTTP/1.1 503 Service Unavailable\r");
    EXPECT_EQ(body, R"({"ok":false,"error":"connection memory exhausted: the answer does not fit"})");
    EXPECT_LE(c->arena.next, c->arena.end);
}

TEST_F(ConnectionTable, FullTableNamesTheOldestIdleConnection)
{
    Connection* first = nullptr;
    for (i64 i = 0; i < 4; i++) {
        Connection* c = connection_open(open_pair(), 100 + i);
        ASSERT_NE(c, nullptr);
        if (i == 0)
            first = c;
    }
    EXPECT_EQ(connection_open(open_pair(), 200), nullptr);
    first->phase = k_connection_waiting;
    Connection* oldest = oldest_idle_connection();
    ASSERT_NE(oldest, nullptr);
    EXPECT_EQ(oldest->accepted_ms, 101);
    connection_close(oldest);
    EXPECT_NE(connection_open(open_pair(), 300), nullptr);
}

} // namespace
