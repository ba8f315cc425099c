// Token file text as start-up applies it. The loader's buffer has one byte beyond the
// text for the terminating NUL, and so does the copy here.
#include "core/config.h"
#include "core/state.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size)
{
    ExactCopy text(data, size, k_token_read_max, 1);
    state_init_defaults();
    apply_token_text(text.bytes, text.len);
    fuzz_check(state.bearer_token_len >= 1 && state.bearer_token_len <= text.len + 23, "token length");
    char last = state.bearer_token[state.bearer_token_len - 1];
    fuzz_check(last != '\n' && last != '\r' && last != ' ', "token keeps a trailing blank");
    return 0;
}
