#include "admin/setting_save.h"
#include "runtime/console.h"
#include "runtime/error_text.h"
#include "runtime/text.h"

static_assert(k_error_text_max <= 64);

static void warn(const char* what, const SettingSave& save)
{
    // The reason keeps a line of its own size; the prefix and the what are short and fixed.
    char line[64 + 64 + k_save_reason_max];
    i64 len = append_text(line, 0, "[Cindervox] WARNING: ");
    len = append_bytes(line, len, what, text_length_max(what, 63));
    len = append_text(line, len, " is in force but not saved: ");
    len = append_bytes(line, len, save.reason, save.reason_len);
    len = append_byte(line, len, '\n');
    print_bytes(line, len);
}

SettingSave save_outcome(const char* what, const char* path, i64 error, const char* after)
{
    SettingSave save { error == 0, {}, 0 };
    if (save.persisted)
        return save;
    save.reason_len = append_text(save.reason, 0, "could not write ");
    save.reason_len = append_bytes(save.reason, save.reason_len, path, text_length_max(path, k_save_path_max));
    save.reason_len = append_text(save.reason, save.reason_len, ": ");
    save.reason_len = append_error_text(save.reason, save.reason_len, error);
    if (after)
        save.reason_len = append_bytes(save.reason, save.reason_len, after, text_length_max(after, k_save_after_max));
    warn(what, save);
    return save;
}

SettingSave not_saved(const char* what, const char* reason)
{
    SettingSave save { false, {}, 0 };
    save.reason_len = append_bytes(save.reason, 0, reason, text_length_max(reason, k_save_reason_max));
    warn(what, save);
    return save;
}

JsonAnswer& answer_save(JsonAnswer& answer, const SettingSave& save)
{
    answer.flag("persisted", save.persisted);
    if (!save.persisted)
        answer.text("reason", { save.reason, save.reason_len });
    return answer;
}
