// Whether a settings change was saved, said in its answer and, when it was not, on the
// console. A change is in force as soon as it is made; "persisted" tells whether it will
// still be after a restart, and "reason" why not.
#pragma once
#include "core/json_answer.h"
#include "runtime/types.h"

// "could not write " (16 bytes), a path of at most k_save_path_max, ": ", the error's text
// (runtime/error_text.h) and a note after it of at most k_save_after_max ("; a copy is in
// /tmp/cindervox_config, which start-up does not read"). A reason given whole (not_saved)
// is at most the same.
constexpr i64 k_save_path_max = 47;
constexpr i64 k_save_after_max = 96;
constexpr i64 k_save_reason_max = 16 + k_save_path_max + 2 + 64 + k_save_after_max;

struct SettingSave {
    bool persisted;
    char reason[k_save_reason_max];
    i64 reason_len;
};

// The save of a change (what, e.g. "the profile") to path that ended in error (0: saved).
// A failed one prints "[Cindervox] WARNING: <what> is in force but not saved: <reason>";
// after, when given, ends the reason ("; a copy is in ...").
SettingSave save_outcome(const char* what, const char* path, i64 error, const char* after = nullptr);

// A change that no file holds: not persisted, for the reason given (at most
// k_save_reason_max bytes; callers pass constants checked against it), with the same line.
SettingSave not_saved(const char* what, const char* reason);

// Adds "persisted" and, when false, "reason" to an answer.
JsonAnswer& answer_save(JsonAnswer& answer, const SettingSave& save);

// What answer_save adds, in json_answer_size's terms: one number and one text.
constexpr i64 k_save_answer_numbers = 1;
constexpr i64 k_save_answer_texts = 1;
constexpr i64 k_save_answer_text_bytes = k_save_reason_max;
