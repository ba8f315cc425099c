// The audit log. Slot audit_next mod audit_capacity takes the next entry; audit_count
// stops growing at the capacity, so once the ring is full the oldest retained entry is
// the one after the newest. The report lists the retained entries oldest or newest first,
// a page of them at a time. Beside
// the ring, a table keeps each slot's agent name, so the report's filter compares names
// and never text an agent wrote into its command.
#include "core/audit_log.h"
#include "core/state.h"
#include "runtime/console.h"
#include "runtime/heap.h"
#include "runtime/io.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

static constexpr char k_log_dir[] = "/var/log/cindervox";
static constexpr char k_log_path[] = "/var/log/cindervox/audit.log";
static constexpr char k_fallback_path[] = "/tmp/cindervox_audit.log";

static constexpr i64 k_agent_slot_size = k_audit_agent_max + 1;
static constinit char* ring_agents = nullptr;
// Each slot's action word, so the report's action filter reads it and never the line,
// whose agent name may hold any text.
static constexpr i64 k_action_slot_size = k_audit_word_max + 1;
static constinit char* ring_actions = nullptr;

void audit_ring_init()
{
    state.audit_ring = (char*)heap_alloc((u64)(state.audit_capacity * state.audit_entry_size));
    ring_agents = (char*)heap_alloc((u64)(state.audit_capacity * k_agent_slot_size));
    ring_actions = (char*)heap_alloc((u64)(state.audit_capacity * k_action_slot_size));
    // The ring is written in full within a few hundred requests; its pages are taken now, so
    // the server's memory is what it will stay from the first request on.
    fill_bytes(state.audit_ring, 0, state.audit_capacity * state.audit_entry_size);
    fill_bytes(ring_agents, 0, state.audit_capacity * k_agent_slot_size);
    fill_bytes(ring_actions, 0, state.audit_capacity * k_action_slot_size);
}

i64 open_owned_log(const char* path)
{
    // O_NONBLOCK keeps a planted FIFO from stalling start-up; it means nothing for the
    // regular file that is the only thing kept.
    i64 fd = sys_open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0)
        return -1;
    stat_k st {};
    if (sys_fstat((int)fd, &st) < 0 || (st.mode & S_IFMT) != S_IFREG || st.uid != (u32)sys_geteuid() || st.nlink != 1) {
        sys_close((int)fd);
        return -1;
    }
    return fd;
}

void audit_init()
{
    audit_ring_init();
    sys_mkdir(k_log_dir, 0755);
    i64 fd = open_owned_log(k_log_path);
    if (fd > 0) {
        state.audit_fd = fd;
        print("[Cindervox] Audit log: /var/log/cindervox/audit.log\n");
        return;
    }
    fd = open_owned_log(k_fallback_path);
    if (fd > 0) {
        state.audit_fd = fd;
        print("[Cindervox] Audit log: /tmp/cindervox_audit.log\n");
        return;
    }
    print("[Cindervox] Audit log: stdout (no file persistence)\n");
}

static constexpr char k_hex_digits[] = "0123456789abcdef";

// The bytes with LF, CR and every other byte below 0x20 written as \n, \r and \xHH, so
// that no text inside an entry can end its line.
static i64 append_one_line(char* out, i64 pos, const char* src, i64 len)
{
    for (i64 i = 0; i < len; i++) {
        u8 c = (u8)src[i];
        if (c >= 0x20) {
            out[pos++] = (char)c;
            continue;
        }
        out[pos++] = '\\';
        if (c == '\n' || c == '\r') {
            out[pos++] = c == '\n' ? 'n' : 'r';
            continue;
        }
        out[pos++] = 'x';
        out[pos++] = k_hex_digits[c >> 4];
        out[pos++] = k_hex_digits[c & 15];
    }
    return pos;
}

static i64 append_word(char* out, i64 pos, const char* word)
{
    return append_bytes(out, pos, word, text_length_max(word, k_audit_word_max));
}

// The entry of a detail whose first detail.len bytes are at hand, of detail_total in all:
// the entry shows at most keep of them, and marks it wherever it shows fewer than all.
static i64 compose_entry(char* out, i64 now, ByteSpan agent, const char* action, ByteSpan detail, i64 detail_total, i64 detail_keep,
    i64 code, i64 duration_ms, const char* result, const char* profile)
{
    i64 keep = detail_keep < k_audit_file_detail_max ? detail_keep : k_audit_file_detail_max;
    keep = detail.len < keep ? detail.len : keep;
    i64 pos = append_byte(out, 0, '[');
    pos = append_decimal(out, pos, now);
    pos = append_text(out, pos, "] [");
    pos = append_one_line(out, pos, agent.ptr, agent.len < k_audit_agent_max ? agent.len : k_audit_agent_max);
    pos = append_text(out, pos, "] ");
    pos = append_word(out, pos, action);
    pos = append_byte(out, pos, ' ');
    pos = append_word(out, pos, result);
    pos = append_byte(out, pos, ' ');
    if (detail.len >= 1) {
        pos = append_byte(out, pos, '"');
        pos = append_one_line(out, pos, detail.ptr, keep);
        pos = append_text(out, pos, "\" ");
    }
    // After the closing quote, where no detail text can end: a reader taking the fields from
    // the line's end finds it before exit=.
    if (detail_total > keep) {
        pos = append_text(out, pos, "detail_bytes=");
        pos = append_decimal(out, pos, detail_total);
        pos = append_byte(out, pos, ' ');
    }
    pos = append_text(out, pos, "exit=");
    pos = append_decimal(out, pos, code);
    pos = append_text(out, pos, " dur=");
    pos = append_decimal(out, pos, duration_ms);
    pos = append_text(out, pos, "ms");
    if (profile != nullptr) {
        pos = append_text(out, pos, " profile=");
        pos = append_word(out, pos, profile);
    }
    return append_byte(out, pos, '\n');
}

i64 build_audit_entry(char* out, i64 now, ByteSpan agent, const char* action, ByteSpan detail, i64 detail_keep, i64 code,
    i64 duration_ms, const char* result, const char* profile)
{
    return compose_entry(out, now, agent, action, detail, detail.len, detail_keep, code, duration_ms, result, profile);
}

// The destination's line of an entry whose detail the ring cut. Up to 512 KiB, of which
// only what a line uses is ever touched.
static constinit char file_line[k_audit_file_line_max] {};

void audit_write(ByteSpan agent, const char* action, ByteSpan detail, i64 code, i64 duration_ms, const char* result, const char* profile)
{
    audit_write_cut(agent, action, detail, detail.len, code, duration_ms, result, profile);
}

void audit_write_cut(ByteSpan agent, const char* action, ByteSpan detail, i64 detail_total, i64 code, i64 duration_ms, const char* result,
    const char* profile)
{
    i64 index = state.audit_next % state.audit_capacity;
    char* slot = state.audit_ring + index * state.audit_entry_size;
    fill_bytes(slot, 0, state.audit_entry_size);
    char* slot_agent = ring_agents + index * k_agent_slot_size;
    fill_bytes(slot_agent, 0, k_agent_slot_size);
    copy_bytes(slot_agent, agent.ptr, agent.len < k_audit_agent_max ? agent.len : k_audit_agent_max);
    char* slot_action = ring_actions + index * k_action_slot_size;
    fill_bytes(slot_action, 0, k_action_slot_size);
    copy_bytes(slot_action, action, text_length_max(action, k_audit_word_max));
    i64 now = now_seconds();
    i64 len = compose_entry(slot, now, agent, action, detail, detail_total, k_audit_detail_max, code, duration_ms, result, profile);
    state.audit_next++;
    if (state.audit_count < state.audit_capacity)
        state.audit_count++;
    // A detail the ring kept whole makes the same line for the destination.
    const char* line = slot;
    if (detail.len > k_audit_detail_max) {
        len = compose_entry(file_line, now, agent, action, detail, detail_total, k_audit_file_detail_max, code, duration_ms, result, profile);
        line = file_line;
    }
    write_all(state.audit_fd >= 1 ? (int)state.audit_fd : 1, line, len);
}

static bool slot_agent_is(i64 index, ByteSpan name)
{
    const char* agent = ring_agents + index * k_agent_slot_size;
    return text_length_max(agent, k_audit_agent_max) == name.len && bytes_equal(agent, name.ptr, name.len);
}

static bool slot_action_is(i64 index, ByteSpan action)
{
    const char* word = ring_actions + index * k_action_slot_size;
    return text_length_max(word, k_audit_word_max) == action.len && bytes_equal(word, action.ptr, action.len);
}

i64 audit_report_size() { return state.audit_capacity * (k_json_string_max(k_audit_slot_size - 1) + 1) + 160; }

// The ring index of the j-th retained entry in the order asked for.
static i64 retained_index(i64 j, i64 retained, bool newest_first)
{
    i64 oldest = state.audit_next > retained ? state.audit_next - retained : 0;
    i64 sequence = newest_first ? state.audit_next - 1 - j : oldest + j;
    return sequence % state.audit_capacity;
}

i64 build_audit_json(char* out, const AuditQuery& query)
{
    i64 retained = state.audit_count < state.audit_capacity ? state.audit_count : state.audit_capacity;
    i64 limit = query.limit < state.audit_capacity ? query.limit : state.audit_capacity;
    i64 matched = 0;
    i64 returned = 0;
    i64 pos = append_text(out, 0, R"({"entries":[)");
    for (i64 j = 0; j < retained; j++) {
        i64 index = retained_index(j, retained, query.newest_first);
        const char* slot = state.audit_ring + index * state.audit_entry_size;
        i64 len = text_length_max(slot, state.audit_entry_size);
        if (len == 0 || (query.agent.len > 0 && !slot_agent_is(index, query.agent)))
            continue;
        if (query.action.len > 0 && !slot_action_is(index, query.action))
            continue;
        matched++;
        if (matched <= query.offset || returned >= limit)
            continue;
        if (returned > 0)
            pos = append_byte(out, pos, ',');
        pos = append_json_string(out, pos, slot, len);
        returned++;
    }
    pos = append_text(out, pos, R"(],"total":)");
    pos = append_decimal(out, pos, state.audit_count);
    pos = append_text(out, pos, R"(,"matched":)");
    pos = append_decimal(out, pos, matched);
    pos = append_text(out, pos, R"(,"returned":)");
    pos = append_decimal(out, pos, returned);
    pos = append_text(out, pos, R"(,"offset":)");
    pos = append_decimal(out, pos, query.offset);
    return append_byte(out, pos, '}');
}
