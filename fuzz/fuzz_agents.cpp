// The agents file as start-up and reload apply it: every bound name is one the registry and
// the audit log can carry, and neither the admin's token nor an empty one names an agent.
#include "agents/agent_tokens.h"
#include "agents/registry.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size)
{
    ExactCopy text(data, size, k_agents_file_read_max);
    i64 bound = apply_agent_tokens_text(text.bytes, text.len, { "admin-token", 11 });
    fuzz_check(bound >= 0 && bound <= k_max_agent_tokens && bound == agent_token_count(), "agent count");
    for (i64 i = 0; i < bound; i++) {
        ByteSpan name = agent_token_name(i);
        fuzz_check(name.len >= 1 && name.len <= k_agent_name_max, "name length");
        for (i64 k = 0; k < name.len; k++)
            fuzz_check((u8)name.ptr[k] >= 0x20 && name.ptr[k] != 0x7F, "control byte in a name");
    }
    fuzz_check(match_agent_token({ "admin-token", 11 }) == -1, "the admin token bound to an agent");
    fuzz_check(match_agent_token({ "", 0 }) == -1, "the empty token bound to an agent");
    return 0;
}
