#include "runtime/heap.h"
#include <gtest/gtest.h>

namespace {

struct Arenas : ::testing::Test {
    HeapArena arena {};
    void SetUp() override
    {
        if (!heap.heap_base)
            heap_init();
        char* base = heap_reserve(1 << 20);
        ASSERT_NE(base, nullptr);
        arena = { base, base };
    }
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

TEST_F(Arenas, ResetGivesZeroFilledPagesBack)
{
    heap_enter(&arena);
    char* block = (char*)heap_alloc(3 * k_page_size);
    for (i64 i = 0; i < 3 * k_page_size; i++)
        block[i] = 'x';
    arena_reset(&arena);
    EXPECT_EQ(heap.entered, nullptr);
    EXPECT_EQ(arena.next, arena.base);
    for (i64 i = 0; i < 3 * k_page_size; i++)
        ASSERT_EQ(block[i], 0) << i;
}

} // namespace
