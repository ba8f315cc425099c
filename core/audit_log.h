// The audit log: a ring of the most recent 256 entries in memory, each also written to
// the audit file chosen at start-up (or standard output), and the /api/audit report.
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

// Appends one entry, naming agent, to the ring and writes it to the destination. Any action and result
// text is accepted; an entry that would not fit its slot is cut, keeping its line feed.
// Every entry is one line: control bytes of the agent name and the detail are written as
// \n, \r or \xHH.
void audit_write(ByteSpan agent, const char* action, ByteSpan detail, i64 code, i64 duration_ms, const char* result);

// The name entries carry when no agent made the request.
inline constexpr ByteSpan k_system_agent { "system", 6 };

// Bytes of a detail kept in an entry, and of an action or a result.
constexpr i64 k_audit_detail_max = 150;
constexpr i64 k_audit_word_max = 32;
// Composition space for one entry: 22 for the time, the bracketed agent, two words, the
// quoted detail, two decimals with their labels, the line feed; an escaped byte takes 4.
constexpr i64 k_audit_agent_max = 31;
constexpr i64 k_audit_line_max = 22 + (4 * k_audit_agent_max + 4) + 2 * (k_audit_word_max + 1) + (4 * k_audit_detail_max + 3) + 48;

// Composes the entry text at now for the named agent into out (k_audit_line_max bytes)
// and returns its length; at most text_max bytes, the last of them a line feed.
i64 build_audit_entry(
    char* out, i64 text_max, i64 now, ByteSpan agent, const char* action, ByteSpan detail, i64 code, i64 duration_ms, const char* result);

// Worst case of build_audit_json: 50 entries of 255 bytes, every byte escaped, and commas.
constexpr i64 k_audit_report_size = 50 * (k_json_string_max(255) + 1) + 128;
constexpr i64 k_audit_filter_size = 64;

// The /api/audit body; filter length 0 means no filter, otherwise only entries whose agent
// is exactly the filter are listed. Returns its length.
i64 build_audit_json(char* out, ByteSpan filter);
