// The verdicts of the shell-aware matcher over a parsed command: the sensitive-path
// screen, the blacklist and (in the strict profile) the whitelist, each judged per simple
// command and per program it runs, so that a rule names a program rather than bytes
// anywhere in the line.
#pragma once
#include "policy/shell_words.h"
#include "runtime/types.h"

// k_words_unreadable: the judge ran out of steps, or (strict) a wrapper's program was a
// guess; rule then says which.
enum WordVerdictKind { k_words_allowed, k_words_sensitive, k_words_blacklist, k_words_whitelist, k_words_unreadable };

// rule: the sequence or rule that matched, or for the whitelist the program name no rule
// admits; command: the index of the simple command in the parse (-1 when allowed).
// steps_left: what the judgement left of the parse's step budget (below zero when it ran out).
struct WordVerdict {
    WordVerdictKind kind;
    ByteSpan rule;
    i64 command;
    i64 steps_left;
};

// profile: 0 (strict) to 2; host_proc: commands see the host's /proc (no namespaces).
// Reads the rule lists of the state.
WordVerdict judge_words(const ShellParse& parse, i64 profile, bool host_proc);

// How a blacklist rule is matched. A rule of plain words (no shell syntax, no '/' in its
// first word) names a program and arguments; any other rule is text, matched in the
// quote-removed words.
enum BlacklistRuleForm { k_rule_plain_words, k_rule_text };
BlacklistRuleForm blacklist_rule_form(const char* rule, i64 len);
