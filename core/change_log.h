// Console lines for changes: every change of profile, policy, credentials, budgets,
// settings and every reset prints one line with the time and who made it, so the console
// (the journal under systemd) keeps a trace of what changed the sandbox:
//   [Cindervox] 2026-12-08T12:40:03Z admin set the profile to permissive
#pragma once
#include "runtime/types.h"

// Who the changes of the request being handled are attributed to: an empty name stands for
// the admin credentials, any other name for the agent of that name. The router sets it
// once it knows the caller.
void set_change_actor(ByteSpan agent);

// Whole line with the time, the actor and the longest text a change adds.
constexpr i64 k_change_line_max = 640;
// Bytes of a name, rule or other caller-given text kept in a line.
constexpr i64 k_change_subject_max = 96;

struct ChangeNote {
    char text[k_change_line_max];
    i64 len;
};

// Starts a line: prefix, time, actor and a blank.
void begin_change(ChangeNote* note);
void note_text(ChangeNote* note, const char* text);
void note_decimal(ChangeNote* note, i64 value);
// Caller-given bytes in double quotes: at most k_change_subject_max of them, control bytes,
// quote and backslash escaped, so a line stays one line.
void note_quoted(ChangeNote* note, ByteSpan subject);
// Prints the line with its line feed, in one write.
void print_change(ChangeNote* note);
