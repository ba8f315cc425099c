// Builds the admin page. The markup, style sheet and script are kept as real files
// (admin_page.html, .css, .js) and embedded at build time as constant pieces; the only
// live value is the Basic credential, which the script needs to call the API and which
// goes into the two gaps the script leaves for it. It is Base64 text, so it needs no
// escaping inside the script's string literals.
#include "dashboard/admin_page.h"
#include "admin_page_pieces.h"
#include "core/state.h"
#include "runtime/text.h"

static_assert(k_admin_page_piece_count == 3, "the script holds the credential exactly twice");
static_assert(k_admin_page_constant_length + 2 * k_admin_credential_max <= k_admin_page_size,
    "the page must hold the longest credential the server accepts");

i64 build_admin_page(char* out)
{
    i64 pos = append_text(out, 0, k_admin_page_pieces[0]);
    pos = append_bytes(out, pos, state.basic_credential, state.basic_credential_len);
    pos = append_text(out, pos, k_admin_page_pieces[1]);
    pos = append_bytes(out, pos, state.basic_credential, state.basic_credential_len);
    pos = append_text(out, pos, k_admin_page_pieces[2]);
    return pos;
}
