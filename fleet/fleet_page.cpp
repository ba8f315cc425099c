// The page is the embedded template with two runtime values: the cards where the grid
// opens, and the entries of S in the script. A card is its own template, whose markers
// are the entry's index (every element id) and its name. Names and URLs hold only
// characters that need no escaping (fleet/fleet_file.h), so they go in as they are.
#include "fleet/fleet_page.h"
#include "fleet/fleet_config.h"
#include "fleet_card_pieces.h"
#include "fleet_page_pieces.h"
#include "runtime/text.h"

// The markers of fleet_card.html, in the order they stand in it.
enum CardValue { k_card_index, k_card_name };
static constexpr CardValue k_card_markers[] = {
    k_card_index,
    k_card_index,
    k_card_name,
    k_card_index,
    k_card_index,
    k_card_index,
    k_card_index,
    k_card_index,
    k_card_index,
    k_card_index,
    k_card_index,
};
static_assert(
    sizeof(k_card_markers) / sizeof(k_card_markers[0]) == k_fleet_card_piece_count - 1, "fleet_card.html and k_card_markers disagree");

// fleet_page.html holds exactly the cards and the sandbox list, in that order.
static_assert(k_fleet_page_piece_count == 3, "fleet_page.html must have @@CARDS@@ and @@SANDBOXES@@");

// Worst case: every slot in use, every URL, name and login as long as an entry may have.
constexpr i64 k_card_max = k_fleet_card_constant_length + 10 * k_decimal_max + k_fleet_name_max;
constexpr i64 k_list_entry_max = 32 + k_fleet_url_max + k_fleet_name_max + k_fleet_auth_max;
static_assert(k_fleet_page_constant_length + k_fleet_sandbox_slots * (k_card_max + k_list_entry_max) <= k_fleet_page_buffer);

i64 build_fleet_card(char* buf, i64 len, i64 index, const char* name)
{
    for (i64 k = 0; k < k_fleet_card_piece_count; k++) {
        len = append_text(buf, len, k_fleet_card_pieces[k]);
        if (k == k_fleet_card_piece_count - 1)
            break;
        if (k_card_markers[k] == k_card_name)
            len = append_text(buf, len, name);
        else
            len = append_decimal(buf, len, index);
    }
    return len;
}

// One entry of S: {u:'url',n:'name'}, with a:'Basic ...' when the sandbox has a login of
// its own. Entries are separated by commas.
static i64 append_list_entry(char* buf, i64 len, i64 index, const FleetSandbox& entry)
{
    if (index > 0)
        len = append_byte(buf, len, ',');
    len = append_text(buf, len, "{u:'");
    len = append_text(buf, len, entry.url);
    len = append_text(buf, len, "',n:'");
    len = append_text(buf, len, entry.name);
    if (entry.auth) {
        len = append_text(buf, len, "',a:'Basic ");
        len = append_text(buf, len, entry.auth);
    }
    len = append_text(buf, len, "'}");
    return len;
}

i64 build_fleet_page(char* buf)
{
    i64 count = fleet_config.sandbox_count;
    i64 len = append_text(buf, 0, k_fleet_page_pieces[0]);
    for (i64 i = 0; i < count; i++)
        len = build_fleet_card(buf, len, i, fleet_config.sandboxes[i].name);
    len = append_text(buf, len, k_fleet_page_pieces[1]);
    for (i64 i = 0; i < count; i++)
        len = append_list_entry(buf, len, i, fleet_config.sandboxes[i]);
    len = append_text(buf, len, k_fleet_page_pieces[2]);
    return len;
}
