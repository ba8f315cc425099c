// Configuration file text as start-up applies it: port lines and the first credential
// line. The text is copied into a buffer of exactly its length, so any read past the end
// is caught; the loader itself reads at most k_config_read_max bytes.
#include "core/config.h"
#include "core/state.h"
#include "fuzz/fuzz_support.h"
#include "runtime/heap.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size)
{
    ExactCopy text(data, size, k_config_read_max);
    state_init_defaults();
    char* mark = heap_mark();
    i64 port = apply_config_text(text.bytes, text.len);
    fuzz_check(port >= 0 && port <= 65535, "port out of range");
    fuzz_check(state.basic_credential_len > 0 && state.basic_credential_len < k_credential_buffer, "credential length");
    fuzz_check(state.basic_credential[state.basic_credential_len] == 0, "credential not terminated");
    heap_release(mark);
    return 0;
}
