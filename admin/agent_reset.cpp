// The reset of one agent: its runs first (nothing of it may still be starting when its
// workspace goes), then what it holds outside the registry, then its counters.
#include "admin/agent_reset.h"
#include "core/audit_log.h"
#include "core/change_log.h"
#include "core/http_response.h"
#include "core/http_status.h"
#include "exec/agent_teardown.h"
#include "exec/sandbox_runner.h"
#include "runtime/text.h"

static void refuse_unknown(int conn, ByteSpan name)
{
    char* body = (char*)heap_alloc(k_agent_reset_refusal_size);
    if (!body)
        return send_memory_exhausted(conn);
    char message[16 + k_agent_name_max];
    i64 len = append_text(message, 0, "no such agent: ");
    len = append_bytes(message, len, name.ptr, name.len < k_agent_name_max ? name.len : k_agent_name_max);
    i64 pos = append_text(body, 0, R"({"ok":false,"error":)");
    pos = append_json_string(body, pos, message, len);
    pos = append_byte(body, pos, '}');
    send_json(conn, 404, reason_phrase(404), body, pos);
}

// "runs_cancelled=N execs=... tokens_out=N": what the reset took away.
static constexpr i64 k_reset_detail_max = 32 + k_decimal_max + k_agent_counters_max;

void handle_agent_reset(int conn, ByteSpan name)
{
    i64 index = find_agent(name.ptr, name.len);
    if (index < 0)
        return refuse_unknown(conn, name);
    ByteSpan kept = agent_name(index);
    i64 cancelled = sandbox_cancel_agent(index);
    char detail[k_reset_detail_max];
    i64 len = append_text(detail, 0, "runs_cancelled=");
    len = append_decimal(detail, len, cancelled);
    len = append_byte(detail, len, ' ');
    len += build_agent_counters(detail + len, index);
    agent_teardown(index);
    clear_agent_counters(index);
    audit_write(kept, "AGENT", { detail, len }, 0, 0, "RESET");
    ChangeNote note;
    begin_change(&note);
    note_text(&note, "reset agent ");
    note_quoted(&note, kept);
    note_text(&note, ": workspace, counters and ");
    note_decimal(&note, cancelled);
    note_text(&note, cancelled == 1 ? " run" : " runs");
    print_change(&note);
    JsonAnswer(k_agent_reset_answer_size).text("agent", kept).number("runs_cancelled", cancelled).send(conn);
}
