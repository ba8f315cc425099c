// Agent tokens: the optional file /etc/cindervox/agents binds bearer tokens to agent names,
// one "name:token" or "name:token:profile" a line ("#" comments, CR LF tolerated, at most
// 32 agents). A request that carries such a token acts as that agent and may only run
// commands, read and write files and read the health report; the admin credentials are
// untouched by it.
//
// The name ends at the first ':'. A token may hold ':' itself, so the field after the
// last ':' is a profile only when it is a word of letters (a token part of letters alone
// after a ':' is not told apart): "strict", "moderate" or "permissive" names the agent's
// own profile, and any other word skips the line with a console line naming it, so a typo
// never binds a token the agent does not send. Numbers are no profile there: "tok:1" is a
// token.
#pragma once
#include "core/run_limits.h"
#include "runtime/types.h"

constexpr i64 k_max_agent_tokens = 32;
constexpr i64 k_agent_token_max = 128;
constexpr i64 k_agents_file_read_max = 8191;

// Reads the agents file (at start-up and on policy reload) and replaces the table; a
// missing file empties it. Prints what it loaded, every skipped line and a warning when
// the file is readable by every user.
void load_agent_tokens();

// Replaces the table with the tokens of text, as load_agent_tokens does after reading;
// admin_token is the admin's bearer token, which no agent may share. Returns the number
// of agents bound.
i64 apply_agent_tokens_text(const char* text, i64 len, ByteSpan admin_token);

// Index of the agent whose token is presented, or -1. Every token is compared, each in
// constant time.
i64 match_agent_token(ByteSpan presented);

i64 agent_token_count();
ByteSpan agent_token_name(i64 index);

// The profile the file names for agent token index, or k_no_own_profile.
OwnProfile agent_token_profile(i64 index);

// The profile the file names for the agent called name (no profile for a name without a
// token, or whose line names none).
OwnProfile token_profile_for_name(ByteSpan name);

// Every registered agent bound to a token takes the profile its line names, or none when
// it names none: the file's word holds again after each reload. Agents no line names keep
// theirs.
void apply_token_profiles();
