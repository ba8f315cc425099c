// Placeholder until the reports land.
#include "agents/reports.h"
#include "runtime/text.h"
i64 build_health_report(char* out) { return append_text(out, 0, R"({"status":"ok"})"); }
i64 build_agents_report(char* out) { return append_text(out, 0, R"({"agents":[],"count":0})"); }
