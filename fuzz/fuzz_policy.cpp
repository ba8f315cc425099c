// Policy file text through both readers. The rule areas are separate allocations of
// exactly their size, so a rule written past an area is caught. After each read the
// writer's text and the policy report are built into buffers of exactly their declared
// worst-case sizes, and the writer's text must read back to the same lists and settings.
#include "admin/policy_endpoints.h"
#include "core/state.h"
#include "fuzz/fuzz_support.h"
#include "policy/policy_file.h"
#include "runtime/heap.h"
#include <stdlib.h>
#include <string.h>

static char* blacklist_area;
static char* whitelist_area;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz_setup();
    blacklist_area = (char*)malloc(k_blacklist_area);
    whitelist_area = (char*)malloc(k_whitelist_area);
    return 0;
}

struct Snapshot {
    char blacklist[k_blacklist_area];
    char whitelist[k_whitelist_area];
    i64 counts[4];
    i64 settings[4];
};

static void take(Snapshot* s)
{
    memcpy(s->blacklist, state.blacklist, k_blacklist_area);
    memcpy(s->whitelist, state.whitelist, k_whitelist_area);
    i64 counts[4] = { state.blacklist_count, state.blacklist_used, state.whitelist_count, state.whitelist_used };
    i64 settings[4] = { state.profile, state.max_rate_per_agent, state.default_token_budget, state.matcher };
    memcpy(s->counts, counts, sizeof(counts));
    memcpy(s->settings, settings, sizeof(settings));
}

// A rule ending in CR (from a line ending in two) cannot be written back as it is: the
// reader drops one CR per line.
static bool has_rule_ending_in_cr()
{
    bool found = false;
    auto check = [&](const char* rule, i64 len) { found = found || rule[len - 1] == '\r'; };
    for_each_rule(state.blacklist, k_blacklist_area, state.blacklist_count, check);
    for_each_rule(state.whitelist, k_whitelist_area, state.whitelist_count, check);
    return found;
}

static void read_and_write_back(const ExactCopy& text, PolicyVariant variant)
{
    state_init_defaults();
    state.blacklist = blacklist_area;
    state.whitelist = whitelist_area;
    load_policy_text(text.bytes, text.len, variant);
    fuzz_check(state.blacklist_used < k_blacklist_area && state.whitelist_used < k_whitelist_area, "area overrun");

    ExactCopy report(nullptr, k_policy_report_size, k_policy_report_size);
    build_policy_report(report.bytes);
    ExactCopy written(nullptr, k_policy_text_size, k_policy_text_size);
    i64 len = build_policy_file_text(written.bytes);
    if (has_rule_ending_in_cr())
        return;
    static Snapshot before, after;
    take(&before);
    load_policy_text(written.bytes, len, variant);
    take(&after);
    fuzz_check(memcmp(&before, &after, sizeof(Snapshot)) == 0, "written policy reads back differently");
}

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size)
{
    ExactCopy text(data, size, k_policy_read_max);
    char* mark = heap_mark();
    read_and_write_back(text, k_policy_startup);
    read_and_write_back(text, k_policy_reload);
    heap_release(mark);
    return 0;
}
