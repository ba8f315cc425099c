// Whether a settings change was saved, said in its answer and, when it was not, on the
// console. A change is in force as soon as it is made; "persisted" tells whether it will
// still be after a restart, and "reason" why not.
#pragma once
#include "core/json_answer.h"
#include "runtime/types.h"

// "could not write /etc/cindervox/config: <what the error means> (<NAME>); a copy is in
// /tmp/cindervox_config, which start-up does not read" at its longest.
constexpr i64 k_save_reason_max = 192;

struct SettingSave {
    bool persisted;
    char reason[k_save_reason_max];
    i64 reason_len;
};

// The save of a change (what, e.g. "the profile") to path that ended in error (0: saved).
// A failed one prints "[Cindervox] WARNING: <what> is in force but not saved: <reason>";
// after, when given, ends the reason ("; a copy is in ...").
SettingSave save_outcome(const char* what, const char* path, i64 error, const char* after = nullptr);

// A change that no file holds: not persisted, for the reason given, with the same line.
SettingSave not_saved(const char* what, const char* reason);

// Adds "persisted" and, when false, "reason" to an answer.
JsonAnswer& answer_save(JsonAnswer& answer, const SettingSave& save);

// What answer_save adds, in json_answer_size's terms: one number and one text.
constexpr i64 k_save_answer_numbers = 1;
constexpr i64 k_save_answer_texts = 1;
constexpr i64 k_save_answer_text_bytes = k_save_reason_max;
