// The audit log: a ring of the most recent 256 entries in memory, each also written to
// the audit file chosen at start-up (or standard output), and the /api/audit report.
#pragma once
#include "runtime/types.h"

// Allocates the ring and chooses the destination, printing one of the three messages.
void audit_init();

// Appends one entry to the ring and writes it to the destination.
void audit_write(const char* action, ByteSpan detail, i64 code, i64 duration_ms, const char* result);

// 1 when the entry text carries "[" name "]" somewhere, else 0.
i64 audit_entry_matches(const char* text, i64 text_len, const char* name, i64 name_len);

// Worst case of build_audit_json: 50 entries of 255 bytes, every byte escaped.
constexpr i64 k_audit_report_size = 32768;
constexpr i64 k_audit_filter_size = 64;

// The /api/audit body; filter length 0 means no filter. Returns its length.
i64 build_audit_json(char* out, ByteSpan filter);
