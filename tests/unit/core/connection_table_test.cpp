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
    Connection* c = connection_open(fd, 1, 100);
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

// A streamed answer's source gets the request's answer as its end; a stream cannot open
// over an answer already queued (a run that could not start answered first).
struct Finished {
    std::string body;
    int calls = 0;
};
StreamPiece no_piece(void*) { return { nullptr, 0, false }; }
void keep_answer(void* context, const char* body, i64 len)
{
    Finished* finished = (Finished*)context;
    finished->body.assign(body, len);
    finished->calls++;
}

TEST_F(ConnectionTable, AnAnswerQueuedWhileStreamingEndsTheStream)
{
    int fd = open_pair();
    Connection* c = connection_open(fd, 1, 100);
    ASSERT_NE(c, nullptr);
    Finished finished;
    ASSERT_EQ(connection_stream(fd, "HEAD", 4, { no_piece, keep_answer, &finished, true }), 1);
    c->stream_woken = false;
    heap_enter(&c->arena);
    send_json(fd, 409, "Conflict", R"({"ok":false})", 12);
    send_json(fd, 500, "Internal Server Error", "{}", 2);
    heap_leave();
    EXPECT_EQ(finished.calls, 1);
    EXPECT_EQ(finished.body, R"({"ok":false})");
    EXPECT_TRUE(c->stream_answered);
    EXPECT_TRUE(c->stream_woken);
    EXPECT_EQ(std::string(c->out_head, c->out_head_len), "HEAD");

    int other = open_pair();
    Connection* answered = connection_open(other, 1, 100);
    ASSERT_NE(answered, nullptr);
    heap_enter(&answered->arena);
    send_json(other, 400, "Bad Request", "{}", 2);
    heap_leave();
    EXPECT_EQ(connection_stream(other, "HEAD", 4, { no_piece, keep_answer, &finished, true }), 0);
    EXPECT_EQ(answered->stream.next, nullptr);
}

TEST_F(ConnectionTable, AnAnswerThatDoesNotFitIsA503NotAnOverrun)
{
    int fd = open_pair();
    Connection* c = connection_open(fd, 1, 100);
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

TEST_F(ConnectionTable, DrainingGoesFirstThenTheLongestIdleButNeverOneWaitingForItsRun)
{
    Connection* c[4] = {};
    for (i64 i = 0; i < 4; i++) {
        c[i] = connection_open(open_pair(), 1, 100 + i);
        ASSERT_NE(c[i], nullptr);
    }
    EXPECT_EQ(connection_open(open_pair(), 2, 200), nullptr);
    c[0]->phase = k_connection_waiting;
    c[1]->phase = k_connection_writing;
    c[1]->active_ms = 150;
    c[3]->phase = k_connection_draining;
    c[3]->active_ms = 190;
    // Draining first, however recently it was active.
    EXPECT_EQ(connection_to_evict(), c[3]);
    c[3]->phase = k_connection_reading;
    // Then the reader or writer idle longest: c[2] (102) before c[1] (150) and c[3] (190).
    EXPECT_EQ(connection_to_evict(), c[2]);
    c[2]->phase = k_connection_waiting;
    EXPECT_EQ(connection_to_evict(), c[1]);
    c[1]->phase = k_connection_waiting;
    c[3]->phase = k_connection_waiting;
    EXPECT_EQ(connection_to_evict(), nullptr);
    c[3]->phase = k_connection_reading;
    connection_close(connection_to_evict());
    EXPECT_NE(connection_open(open_pair(), 2, 300), nullptr);
}

TEST_F(ConnectionTable, AStreamGoesOnlyOnceItsRunHasEndedAndMemoryGoesToThoseThatHoldIt)
{
    Connection* run_stream = connection_open(open_pair(), 1, 100);
    Connection* events = connection_open(open_pair(), 1, 150);
    Connection* reader = connection_open(open_pair(), 1, 50);
    ASSERT_TRUE(run_stream && events && reader);
    run_stream->phase = k_connection_streaming;
    run_stream->stream = { no_piece, nullptr, nullptr, true };
    events->phase = k_connection_streaming;
    events->stream = { no_piece, nullptr, nullptr, false };
    reader->phase = k_connection_waiting;
    // A run's own stream stays while the run goes; a reader of someone else's output may go.
    EXPECT_EQ(connection_to_evict(), events);
    events->phase = k_connection_waiting;
    EXPECT_EQ(connection_to_evict(), nullptr);
    run_stream->stream_answered = true;
    EXPECT_EQ(connection_to_evict(), run_stream);
    // For memory, only those holding more than a fresh buffer, and never the one asking.
    reader->phase = k_connection_reading;
    ASSERT_NE(arena_alloc(&run_stream->arena, 3 * k_page_size), nullptr);
    ASSERT_NE(arena_alloc(&reader->arena, k_page_size), nullptr);
    EXPECT_EQ(connection_to_evict(), reader);
    EXPECT_EQ(connection_to_evict_for_memory(2 * k_page_size, nullptr), run_stream);
    EXPECT_EQ(connection_to_evict_for_memory(2 * k_page_size, run_stream), nullptr);
    EXPECT_EQ(connection_to_evict_for_memory(0, run_stream), reader);
}

TEST_F(ConnectionTable, APeersCountAndVictimAreItsOwn)
{
    Connection* mine_old = connection_open(open_pair(), 7, 100);
    Connection* other_older = connection_open(open_pair(), 9, 50);
    Connection* mine_new = connection_open(open_pair(), 7, 200);
    ASSERT_TRUE(mine_old && other_older && mine_new);
    EXPECT_EQ(peer_connection_count(7), 2);
    EXPECT_EQ(peer_connection_count(9), 1);
    EXPECT_EQ(peer_connection_count(8), 0);
    EXPECT_EQ(connection_to_evict(), other_older);
    EXPECT_EQ(peer_connection_to_evict(7), mine_old);
    mine_new->phase = k_connection_draining;
    EXPECT_EQ(peer_connection_to_evict(7), mine_new);
    mine_new->phase = k_connection_waiting;
    mine_old->phase = k_connection_waiting;
    EXPECT_EQ(peer_connection_to_evict(7), nullptr);
    EXPECT_EQ(peer_connection_to_evict(8), nullptr);
    // A closed record counts for nobody.
    mine_old->phase = k_connection_reading;
    connection_close(mine_old);
    EXPECT_EQ(peer_connection_count(7), 1);
}

} // namespace
