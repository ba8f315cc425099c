// The actor is kept here between the router's authentication and the handler's change;
// one request is handled at a time up to its change, so it is never another request's.
#include "core/change_log.h"
#include "runtime/console.h"
#include "runtime/io.h"
#include "runtime/text.h"
#include "runtime/time_text.h"

// "agent " and the longest agent name the registry keeps.
static constexpr i64 k_actor_max = 6 + 31;
static constinit char actor[k_actor_max + 1] = "admin";
static constinit i64 actor_len = 5;

static constexpr char k_hex_digits[] = "0123456789abcdef";

// The fixed parts: prefix, time, blank, actor, blank, the final line feed.
static_assert(k_change_line_max >= 12 + k_utc_time_max + 1 + k_actor_max + 1 + 4 * k_change_subject_max + 128 + 1);

void set_change_actor(ByteSpan agent)
{
    if (agent.len <= 0) {
        actor_len = append_text(actor, 0, "admin");
        return;
    }
    i64 len = agent.len < k_actor_max - 6 ? agent.len : k_actor_max - 6;
    actor_len = append_text(actor, 0, "agent ");
    actor_len = append_bytes(actor, actor_len, agent.ptr, len);
}

void begin_change(ChangeNote* note)
{
    note->len = append_text(note->text, 0, "[Cindervox] ");
    note->len = append_utc_time(note->text, note->len, now_seconds());
    note->len = append_byte(note->text, note->len, ' ');
    note->len = append_bytes(note->text, note->len, actor, actor_len);
    note->len = append_byte(note->text, note->len, ' ');
}

// Leaves room for the line feed whatever the callers add.
static bool has_room(const ChangeNote* note, i64 more) { return note->len + more < k_change_line_max; }

void note_text(ChangeNote* note, const char* text)
{
    i64 len = text_length(text);
    if (has_room(note, len))
        note->len = append_text(note->text, note->len, text);
}

void note_decimal(ChangeNote* note, i64 value)
{
    if (has_room(note, k_decimal_max))
        note->len = append_decimal(note->text, note->len, value);
}

void note_quoted(ChangeNote* note, ByteSpan subject)
{
    if (!has_room(note, 4 * k_change_subject_max + 5))
        return;
    i64 len = subject.len < k_change_subject_max ? subject.len : k_change_subject_max;
    char* out = note->text;
    i64 pos = append_byte(out, note->len, '"');
    for (i64 i = 0; i < len; i++) {
        u8 c = (u8)subject.ptr[i];
        if (c == '"' || c == '\\') {
            pos = append_byte(out, pos, '\\');
            pos = append_byte(out, pos, (char)c);
        } else if (c < 0x20 || c == 0x7f) {
            pos = append_text(out, pos, "\\x");
            pos = append_byte(out, pos, k_hex_digits[c >> 4]);
            pos = append_byte(out, pos, k_hex_digits[c & 15]);
        } else {
            pos = append_byte(out, pos, (char)c);
        }
    }
    if (subject.len > len)
        pos = append_text(out, pos, "...");
    note->len = append_byte(out, pos, '"');
}

void print_change(ChangeNote* note)
{
    note->len = append_byte(note->text, note->len, '\n');
    print_bytes(note->text, note->len);
}
