// Builds the admin page. The markup, style sheet and script are kept as real files
// (admin_page.html, .css, .js) and embedded at build time as constant pieces, which the
// program carries as one deflated stream (a third of their size) and inflates on first use;
// the only live value is the Basic credential, which the script needs to call the API and
// which goes into the two gaps the script leaves for it. It is Base64 text, so it needs no
// escaping inside the script's string literals.
#include "dashboard/admin_page.h"
#include "admin_page_pieces.h"
#include "core/state.h"
#include "runtime/heap.h"
#include "runtime/inflate.h"
#include "runtime/text.h"

static_assert(k_admin_page_piece_count == 3, "the script holds the credential exactly twice");
static_assert(k_admin_page_constant_length + 2 * k_admin_credential_max <= k_admin_page_size,
    "the page must hold the longest credential the server accepts");

struct PageText {
    const char* text;
    // Inflation was tried and failed: it is not tried again, each try would take a block.
    bool refused;
};
static constinit PageText page {};

const char* admin_page_text()
{
    if (page.text || page.refused)
        return page.text;
    char* block = (char*)heap_alloc_lasting(k_admin_page_constant_length);
    i64 len = block ? inflate_raw(k_admin_page_deflated, k_admin_page_deflated_length, (u8*)block, k_admin_page_constant_length) : -1;
    if (len == k_admin_page_constant_length)
        page.text = block;
    else
        page.refused = true;
    return page.text;
}

i64 build_admin_page(char* out)
{
    const char* text = admin_page_text();
    if (!text)
        return -1;
    const char* second = text + k_admin_page_piece_lengths[0];
    const char* third = second + k_admin_page_piece_lengths[1];
    i64 pos = append_bytes(out, 0, text, k_admin_page_piece_lengths[0]);
    pos = append_bytes(out, pos, state.basic_credential, state.basic_credential_len);
    pos = append_bytes(out, pos, second, k_admin_page_piece_lengths[1]);
    pos = append_bytes(out, pos, state.basic_credential, state.basic_credential_len);
    pos = append_bytes(out, pos, third, k_admin_page_piece_lengths[2]);
    return pos;
}
