#include "fleet/fleet_connections.h"

FleetFrame fleet_frame_request(const char* req, i64 req_len, i64 examined_len, i64 capacity)
{
    // An LF at i is decided once the two bytes after it are known ("\n\n" or "\n\r\n"),
    // so the last two bytes of the previous call are looked at again.
    i64 from = examined_len > 2 ? examined_len - 2 : 0;
    for (i64 i = from; i + 1 < req_len; i++) {
        if (req[i] != '\n')
            continue;
        if (req[i + 1] == '\n')
            return { FleetFraming::complete, i + 2 };
        if (req[i + 1] == '\r' && i + 2 < req_len && req[i + 2] == '\n')
            return { FleetFraming::complete, i + 3 };
    }
    if (req_len >= capacity)
        return { FleetFraming::too_large, 0 };
    return { FleetFraming::incomplete, 0 };
}

// Index of the slot accepted earliest among those whose phase matches, or count when none.
static i64 earliest_slot(const FleetConnection* slots, i64 count, bool reading_only)
{
    i64 found = count;
    for (i64 i = 0; i < count; i++) {
        if (slots[i].phase == FleetPhase::idle)
            continue;
        if (reading_only && slots[i].phase != FleetPhase::reading)
            continue;
        if (found == count || slots[i].accepted_ms < slots[found].accepted_ms)
            found = i;
    }
    return found;
}

i64 fleet_slot_for_new(const FleetConnection* slots, i64 count)
{
    for (i64 i = 0; i < count; i++)
        if (slots[i].phase == FleetPhase::idle)
            return i;
    i64 reading = earliest_slot(slots, count, true);
    return reading < count ? reading : earliest_slot(slots, count, false);
}

i64 fleet_connection_deadline_ms(const FleetConnection& c)
{
    i64 silence_end = c.progress_ms + k_fleet_silence_ms;
    i64 request_end = c.accepted_ms + k_fleet_request_ms;
    return silence_end < request_end ? silence_end : request_end;
}

int fleet_wait_ms(const FleetConnection* slots, i64 count, i64 now_ms)
{
    i64 wait_ms = -1;
    for (i64 i = 0; i < count; i++) {
        if (slots[i].phase == FleetPhase::idle)
            continue;
        i64 left = fleet_connection_deadline_ms(slots[i]) - now_ms;
        if (left < 0)
            left = 0;
        if (wait_ms < 0 || left < wait_ms)
            wait_ms = left;
    }
    return (int)wait_ms;
}
