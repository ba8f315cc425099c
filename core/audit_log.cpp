// The audit log. Slot audit_next mod audit_capacity takes the next entry; audit_count
// stops growing at the capacity, so once the ring is full the oldest retained entry is
// the one after the newest. The report lists the oldest retained entries first.
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

void audit_ring_init() { state.audit_ring = (char*)heap_alloc((u64)(state.audit_capacity * state.audit_entry_size)); }

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
    i64 fd = sys_open(k_log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
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

static i64 append_word(char* out, i64 pos, const char* word)
{
    return append_bytes(out, pos, word, text_length_max(word, k_audit_word_max));
}

i64 build_audit_entry(
    char* out, i64 text_max, i64 now, ByteSpan agent, const char* action, ByteSpan detail, i64 code, i64 duration_ms, const char* result)
{
    i64 pos = append_byte(out, 0, '[');
    pos = append_decimal(out, pos, now);
    pos = append_text(out, pos, "] [");
    pos = append_bytes(out, pos, agent.ptr, agent.len);
    pos = append_text(out, pos, "] ");
    pos = append_word(out, pos, action);
    pos = append_byte(out, pos, ' ');
    pos = append_word(out, pos, result);
    pos = append_byte(out, pos, ' ');
    if (detail.len >= 1) {
        pos = append_byte(out, pos, '"');
        pos = append_bytes(out, pos, detail.ptr, detail.len < k_audit_detail_max ? detail.len : k_audit_detail_max);
        pos = append_text(out, pos, "\" ");
    }
    pos = append_text(out, pos, "exit=");
    pos = append_decimal(out, pos, code);
    pos = append_text(out, pos, " dur=");
    pos = append_decimal(out, pos, duration_ms);
    pos = append_text(out, pos, "ms\n");
    if (pos > text_max) {
        pos = text_max;
        out[pos - 1] = '\n';
    }
    return pos;
}

void audit_write(ByteSpan agent, const char* action, ByteSpan detail, i64 code, i64 duration_ms, const char* result)
{
    char* slot = state.audit_ring + (state.audit_next % state.audit_capacity) * state.audit_entry_size;
    fill_bytes(slot, 0, state.audit_entry_size);
    char line[k_audit_line_max];
    i64 len = build_audit_entry(line, state.audit_entry_size - 1, now_seconds(), agent, action, detail, code, duration_ms, result);
    copy_bytes(slot, line, len);
    state.audit_next++;
    if (state.audit_count < state.audit_capacity)
        state.audit_count++;
    write_all(state.audit_fd >= 1 ? (int)state.audit_fd : 1, line, len);
}

i64 audit_entry_matches(const char* text, i64 text_len, const char* name, i64 name_len)
{
    for (i64 i = 0; i < text_len - name_len - 1; i++)
        if (text[i] == '[' && bytes_equal(text + i + 1, name, name_len) && text[i + 1 + name_len] == ']')
            return 1;
    return 0;
}

i64 build_audit_json(char* out, ByteSpan filter)
{
    i64 limit = filter.len > 0 ? 50 : 20;
    i64 n = state.audit_count < state.audit_capacity ? state.audit_count : state.audit_capacity;
    i64 start = state.audit_next > n ? state.audit_next - n : 0;
    i64 returned = 0;
    i64 pos = append_text(out, 0, R"({"entries":[)");
    for (i64 j = 0; j < n && returned < limit; j++) {
        const char* slot = state.audit_ring + ((start + j) % state.audit_capacity) * state.audit_entry_size;
        i64 len = text_length_max(slot, state.audit_entry_size);
        if (len == 0)
            continue;
        if (filter.len > 0 && !audit_entry_matches(slot, len, filter.ptr, filter.len))
            continue;
        if (returned > 0)
            pos = append_byte(out, pos, ',');
        pos = append_json_string(out, pos, slot, len);
        returned++;
    }
    pos = append_text(out, pos, R"(],"total":)");
    pos = append_decimal(out, pos, state.audit_count);
    pos = append_text(out, pos, R"(,"returned":)");
    pos = append_decimal(out, pos, returned);
    return append_byte(out, pos, '}');
}
