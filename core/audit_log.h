// The audit log: a ring of the most recent 256 entries in memory, each also written to
// the audit file chosen at start-up (or standard output), and the /api/audit report. The
// file keeps each entry whole; the ring keeps the first 150 bytes of its detail.
#pragma once
#include "runtime/text.h"
#include "runtime/types.h"

// Allocates the ring and chooses the destination, printing one of the three messages.
void audit_init();

// Allocates the zeroed ring and its table of agent names alone (the first half of
// audit_init).
void audit_ring_init();

// Opens path for appending, never through a symbolic link, and keeps it only when it is
// a regular file owned by us with a single link (a name in a shared directory such as
// /tmp may have been planted by another user). Returns the descriptor, or -1.
i64 open_owned_log(const char* path);

// Appends one entry, naming agent, to the ring and writes it to the destination. Any
// action and result text is accepted (the first 32 bytes of each are kept). Every entry is
// one line: control bytes of the agent name and the detail are written as \n, \r or \xHH.
// The destination's line holds the whole detail; the ring's entry its first 150 bytes,
// and a cut detail is followed by " detail_bytes=<its full length>". An entry of a run or
// of a refusal a profile judged names that profile (profile, at most k_audit_word_max
// bytes, nullptr for none) after everything else: " profile=<name>" after dur=, so the
// fields every entry has keep their places.
void audit_write(ByteSpan agent, const char* action, ByteSpan detail, i64 code, i64 duration_ms, const char* result,
    const char* profile = nullptr);

// audit_write for a detail of which only the first bytes are at hand (a command refused
// for its length): detail holds the first detail.len bytes of detail_total, and the entry
// is marked " detail_bytes=<detail_total>" wherever it shows fewer than all of them.
void audit_write_cut(ByteSpan agent, const char* action, ByteSpan detail, i64 detail_total, i64 code, i64 duration_ms, const char* result,
    const char* profile = nullptr);

// The name entries carry when no agent made the request.
inline constexpr ByteSpan k_system_agent { "system", 6 };

// Bytes of a detail kept in a ring entry, of an action or a result, and of an agent name.
constexpr i64 k_audit_detail_max = 150;
constexpr i64 k_audit_word_max = 32;
constexpr i64 k_audit_agent_max = 31;
// The longest detail the destination keeps whole: 128 KiB, as long as the longest command
// the server is built to take (exec/exec_endpoint.h checks its bound against this one). A
// longer detail is cut and marked there as in the ring.
constexpr i64 k_audit_file_detail_max = 131072;

// Composition space of an entry that keeps at most detail_keep bytes of its detail: the
// bracketed time, the bracketed agent, two words, the quoted detail, the cut mark, the two
// labelled decimals, the profile's word and the line feed; an escaped byte takes 4.
constexpr i64 k_audit_entry_max(i64 detail_keep)
{
    return (1 + k_decimal_max + 2) + (1 + 4 * k_audit_agent_max + 2) + 2 * (k_audit_word_max + 1) + (1 + 4 * detail_keep + 2)
        + ((i64)sizeof("detail_bytes= ") - 1 + k_decimal_max) + ((i64)sizeof("exit= dur=ms\n") - 1 + 2 * k_decimal_max)
        + ((i64)sizeof(" profile=") - 1 + k_audit_word_max);
}
// A ring slot: the longest ring entry and a NUL.
constexpr i64 k_audit_slot_size = k_audit_entry_max(k_audit_detail_max) + 1;
// The longest line the destination gets.
constexpr i64 k_audit_file_line_max = k_audit_entry_max(k_audit_file_detail_max);

// Composes the entry text at now for the named agent into out, which holds
// k_audit_entry_max(detail_keep) bytes, and returns its length; the text ends with a line
// feed. A detail longer than detail_keep (at most k_audit_file_detail_max) keeps its first
// detail_keep bytes and is followed by " detail_bytes=<detail.len>"; a profile (nullptr
// for none) ends it with " profile=<name>". Pure.
i64 build_audit_entry(char* out, i64 now, ByteSpan agent, const char* action, ByteSpan detail, i64 detail_keep, i64 code,
    i64 duration_ms, const char* result, const char* profile = nullptr);

constexpr i64 k_audit_filter_size = 64;
// Entries the ring keeps.
constexpr i64 k_audit_capacity = 256;

// What GET /api/audit asks for: the entries whose agent is exactly agent (every entry for
// an empty agent) and whose action word is exactly action (any for an empty one), from the oldest retained or the newest, the first offset of them
// skipped, at most limit listed (limit at most the ring's capacity).
struct AuditQuery {
    ByteSpan agent;
    ByteSpan action;
    i64 limit;
    i64 offset;
    bool newest_first;
};

// Entries listed when the query names no limit: 20, or 50 of one agent's.
constexpr i64 k_audit_default_limit = 20;
constexpr i64 k_audit_default_agent_limit = 50;

// Worst case of build_audit_json: every entry of the ring, every byte escaped, commas, and
// the five numbers around them.
i64 audit_report_size();

// The /api/audit body: {"entries":[...],"total":T,"matched":M,"returned":R,"offset":O},
// where total counts the retained entries and matched those of the agent. Returns its
// length; out holds audit_report_size() bytes.
i64 build_audit_json(char* out, const AuditQuery& query);
