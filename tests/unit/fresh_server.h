// A fresh server for each test: ServerState at its defaults, the audit ring, the agent
// tables and the default policy in the strict profile, all allocated after a heap mark
// that TearDown gives back, so tests do not see each other's state.
#pragma once
#include "agents/registry.h"
#include "core/audit_log.h"
#include "core/state.h"
#include "policy/rules.h"
#include "runtime/heap.h"
#include <gtest/gtest.h>

struct FreshServer : ::testing::Test {
    char* mark = nullptr;
    void SetUp() override
    {
        state_init_defaults();
        if (!heap.heap_base)
            heap_init();
        mark = heap_mark();
        audit_ring_init();
        registry_init();
        install_default_blacklist();
        install_default_whitelist();
        apply_profile(0);
    }
    void TearDown() override { heap_release(mark); }
};
