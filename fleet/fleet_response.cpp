#include "fleet/fleet_response.h"
#include "fleet/fleet_connections.h"
#include "fleet/fleet_page.h"
#include "runtime/text.h"

static_assert(k_fleet_header_max + k_fleet_page_buffer <= k_fleet_response_buffer);
static_assert(k_fleet_request_max == 4095, "the 431 text names the limit");

i64 build_fleet_response(char* buf, const char* page, i64 page_len)
{
    i64 pos = append_text(buf, 0, "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n");
    pos = append_text(buf, pos, "Connection: close\r\nContent-Length: ");
    pos = append_decimal(buf, pos, page_len);
    pos = append_text(buf, pos, "\r\n\r\n");
    pos = append_bytes(buf, pos, page, page_len);
    return pos;
}

i64 build_fleet_refusal(char* buf) { return append_text(buf, 0, k_fleet_refusal); }
