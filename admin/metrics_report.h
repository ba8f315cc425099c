// GET /metrics: the server's counters and gauges in the Prometheus text exposition format
// (version 0.0.4), for the admin's credentials or the metrics token. Every family is a row
// of one table with its help text and its labels, whose values are the server's own fixed
// words (results, refusal kinds, the version): agent names never become labels, so the
// number of series is fixed, and so is the text's worst case.
#pragma once
#include "core/activity.h"
#include "runtime/text.h"
#include "runtime/types.h"

constexpr char k_metrics_content_type[] = "text/plain; version=0.0.4; charset=utf-8";

// What one exposition reports, read at one moment.
struct MetricsSnapshot {
    ActivityTotals totals;
    i64 running;
    i64 background;
    i64 queued;
    i64 queue_capacity;
    i64 connections;
    i64 agents;
    i64 workspace_bytes;
    i64 resident_bytes;
    i64 start_time;
};

// A label value as the format wants it: backslash, double quote and line feed escaped.
// At most twice len bytes.
i64 append_label_value(char* out, i64 pos, const char* value, i64 len);

// The exposition of snapshot into out (metrics_text_max() bytes); returns its length.
i64 build_metrics_text(char* out, const MetricsSnapshot& snapshot);

// The longest exposition: every line at its widest, every value at 20 digits. Computed
// from the same table the builder writes.
i64 metrics_text_max();
constexpr i64 k_metrics_report_size = 16384;

// Resident pages from /proc/self/statm text (its second field); -1 when it has none.
i64 parse_statm_resident(const char* text, i64 len);

// The server's exposition now.
i64 build_metrics_report(char* out);
