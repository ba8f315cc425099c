#include "runtime/heap.h"
#include <gtest/gtest.h>

namespace {

constexpr i64 k_arena = 4 * k_page_size;

struct Arenas : ::testing::Test {
    HeapArena arenas[2] {};
    HeapArena& arena = arenas[0];
    void SetUp() override
    {
        if (!heap.heap_base)
            heap_init();
        ASSERT_TRUE(arenas_reserve(arenas, 2, k_arena));
    }
    void TearDown() override { heap_leave(); }
};

TEST_F(Arenas, AllocationsGoToTheEnteredArenaAndBack)
{
    char* outer = heap_mark();
    heap_enter(&arena);
    char* a = (char*)heap_alloc(10);
    char* b = (char*)heap_alloc(8);
    EXPECT_EQ(a, arena.base);
    EXPECT_EQ(b, arena.base + 16);
    heap_leave();
    EXPECT_EQ(heap_mark(), outer);
    EXPECT_EQ(arena.next, arena.base + 24);
    EXPECT_EQ((char*)arena_alloc(&arena, 4), arena.base + 24);
}

TEST_F(Arenas, LastingBlocksComeFromTheHeapEvenInsideAnArena)
{
    char* outer = heap_mark();
    heap_enter(&arena);
    char* table = (char*)heap_alloc_lasting(100);
    heap_leave();
    EXPECT_EQ(table, outer);
    EXPECT_EQ(heap_mark(), outer + 104);
    heap_release(outer);
}

TEST_F(Arenas, BlockPastTheEndIsRefusedAndNothingMoves)
{
    heap_enter(&arena);
    EXPECT_NE(heap_alloc(k_arena - 8), nullptr);
    char* before = heap_mark();
    EXPECT_EQ(heap_alloc(9), nullptr);
    EXPECT_EQ(heap_alloc((u64)-1), nullptr);
    EXPECT_EQ(heap_mark(), before);
    EXPECT_EQ(heap_alloc(8), arena.end - 8);
    EXPECT_EQ(heap_alloc(1), nullptr);
    heap_leave();
    EXPECT_EQ(arena_alloc(&arena, 1), nullptr);
    EXPECT_EQ(arena_used(&arena), k_arena);
    // The neighbour is untouched by the refusals.
    EXPECT_EQ(arena_used(&arenas[1]), 0);
}

TEST_F(Arenas, TheBudgetBoundsAllArenasTogetherAndResetsGiveItBack)
{
    ArenaBudget saved = arena_budget;
    arena_budget = { 3 * k_page_size, 0, false };
    ASSERT_NE(arena_alloc(&arenas[0], 2 * k_page_size), nullptr);
    // The second arena has room of its own, but not within the budget.
    EXPECT_EQ(arena_alloc(&arenas[1], 2 * k_page_size), nullptr);
    EXPECT_TRUE(arena_budget.refused_by_budget);
    EXPECT_EQ(arena_used(&arenas[1]), 0);
    EXPECT_NE(arena_alloc(&arenas[1], k_page_size), nullptr);
    EXPECT_FALSE(arena_budget.refused_by_budget);
    // Past its own end is the arena's refusal, not the budget's.
    EXPECT_EQ(arena_alloc(&arenas[1], k_arena), nullptr);
    EXPECT_FALSE(arena_budget.refused_by_budget);
    arena_reset(&arenas[0]);
    EXPECT_EQ(arena_budget.used, k_page_size);
    heap_enter(&arenas[0]);
    EXPECT_NE(heap_alloc(2 * k_page_size), nullptr);
    EXPECT_EQ(heap_alloc(8), nullptr);
    EXPECT_TRUE(arena_budget.refused_by_budget);
    arena_reset(&arenas[0]);
    arena_reset(&arenas[1]);
    EXPECT_EQ(arena_budget.used, 0);
    arena_budget = saved;
}

TEST_F(Arenas, TheHeapItselfRefusesPastItsEnd)
{
    char* mark = heap_mark();
    EXPECT_EQ(heap_alloc((u64)(heap.heap_end - heap.heap_next) + 1), nullptr);
    EXPECT_EQ(heap_mark(), mark);
}

TEST_F(Arenas, GuardPagesFollowEveryArenaAndPrecedeTheHeap)
{
    EXPECT_EQ(arena.end + k_page_size, arenas[1].base);
    EXPECT_DEATH(*(volatile char*)arena.end = 1, "");
    EXPECT_DEATH(*(volatile char*)arenas[1].end = 1, "");
    EXPECT_DEATH(*(volatile char*)(heap.heap_base - 1) = 1, "");
}

TEST_F(Arenas, ResetGivesBackOnlyItsOwnPagesZeroFilled)
{
    arena_alloc(&arenas[1], 8);
    arenas[1].base[0] = 'n';
    heap_enter(&arena);
    char* block = (char*)heap_alloc(k_arena);
    ASSERT_NE(block, nullptr);
    for (i64 i = 0; i < k_arena; i++)
        block[i] = 'x';
    arena_reset(&arena);
    EXPECT_EQ(heap.entered, nullptr);
    EXPECT_EQ(arena.next, arena.base);
    for (i64 i = 0; i < k_arena; i++)
        ASSERT_EQ(block[i], 0) << i;
    EXPECT_EQ(arenas[1].base[0], 'n');
}

TEST(ArenasReserve, RefusesSizesThatAreNotWholePages)
{
    HeapArena one {};
    EXPECT_FALSE(arenas_reserve(&one, 1, k_page_size + 8));
    EXPECT_FALSE(arenas_reserve(&one, 0, k_page_size));
}

} // namespace
