// Reading the members of an exec request. Each member is looked up by name in the body
// object; the env object is walked member by member into "NAME=value" entries, and a
// table of the names seen so far finds one given twice.
#include "exec/exec_fields.h"
#include "core/state.h"
#include "exec/confinement.h"
#include "runtime/json_reader.h"

// The members /api/exec reads; any other is named in the answer as ignored.
static constexpr const char* k_known_fields[] = {
    "cmd", "merge_stderr", "cwd", "env", "stdin", "stdin_encoding", "timeout_ms", "tokens_in", "tokens_out", "model", "stream", "background",
    "console",
};

static bool known_field(ByteSpan name)
{
    for (const char* field : k_known_fields)
        if (span_equals(name, field))
            return true;
    return false;
}

void list_ignored_fields(const char* json, i64 len, IgnoredFields* ignored)
{
    ignored->count = 0;
    ignored->more = 0;
    JsonMember member {};
    const JsonMember* previous = nullptr;
    while (json_next_member(json, len, 0, previous, &member) == k_json_member) {
        previous = &member;
        // One byte past the longest listed name tells a longer one apart.
        char name[k_ignored_name_max + 1];
        JsonString text = json_decode_string(json, len, member.name, name, k_ignored_name_max);
        if (known_field({ name, text.stored }) && text.decoded == text.stored)
            continue;
        if (text.decoded > k_ignored_name_max || ignored->count == k_ignored_names_max) {
            ignored->more++;
            continue;
        }
        copy_bytes(ignored->names[ignored->count], name, text.stored);
        ignored->lens[ignored->count++] = text.stored;
    }
}

CwdPath resolve_cwd(const char* path, i64 len, char* out)
{
    bool absolute = len > 0 && path[0] == '/';
    // A relative path starts in /tmp; an absolute one must name it first.
    bool in_tmp = !absolute;
    i64 out_len = 0;
    out[0] = 0;
    for (i64 i = 0; i < len;) {
        while (i < len && path[i] == '/')
            i++;
        i64 start = i;
        while (i < len && path[i] != '/')
            i++;
        ByteSpan part { path + start, i - start };
        if (part.len == 0 || span_equals(part, "."))
            continue;
        if (!in_tmp) {
            if (!span_equals(part, "tmp"))
                return { k_cwd_outside, 0 };
            in_tmp = true;
            continue;
        }
        if (span_equals(part, "..")) {
            if (out_len == 0)
                return { k_cwd_outside, 0 };
            while (out_len > 0 && out[out_len - 1] != '/')
                out_len--;
            out_len = out_len > 0 ? out_len - 1 : 0;
            continue;
        }
        i64 separator = out_len > 0 ? 1 : 0;
        if (out_len + separator + part.len > k_cwd_max)
            return { k_cwd_too_long, 0 };
        if (separator)
            out[out_len++] = '/';
        copy_bytes(out + out_len, part.ptr, part.len);
        out_len += part.len;
    }
    if (!in_tmp)
        return { k_cwd_outside, 0 };
    out[out_len] = 0;
    return { k_cwd_inside, out_len };
}

// Appends message text; messages stay under k_field_message_max by construction.
static i64 append_number_text(char* out, i64 pos, const char* before, i64 number, const char* after)
{
    pos = append_text(out, pos, before);
    pos = append_decimal(out, pos, number);
    return append_text(out, pos, after);
}

// A variable's name as a message shows it: whole up to this many bytes, else its first
// ones followed by "... (N bytes)".
static constexpr i64 k_message_name_max = 64;

static i64 append_name(char* out, i64 pos, ByteSpan name)
{
    if (name.len <= k_message_name_max)
        return append_bytes(out, pos, name.ptr, name.len);
    pos = append_bytes(out, pos, name.ptr, k_message_name_max);
    return append_number_text(out, pos, "... (", name.len, " bytes)");
}

static i64 variable_message(char* message, const char* before, ByteSpan name, const char* after)
{
    i64 pos = append_text(message, 0, before);
    pos = append_name(message, pos, name);
    return append_text(message, pos, after);
}

static bool is_name_start(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
static bool is_name_byte(char c) { return is_name_start(c) || (c >= '0' && c <= '9'); }

static bool variable_name_valid(ByteSpan name)
{
    if (name.len == 0 || !is_name_start(name.ptr[0]))
        return false;
    for (i64 i = 1; i < name.len; i++)
        if (!is_name_byte(name.ptr[i]))
            return false;
    return true;
}

// FNV-1a over the name, as the index of its first slot.
static u64 name_hash(ByteSpan name)
{
    u64 hash = 1469598103934665603ul;
    for (i64 i = 0; i < name.len; i++)
        hash = (hash ^ (u8)name.ptr[i]) * 1099511628211ul;
    return hash;
}

// Whether name was seen before among the entries of text; records it when not. A slot holds
// an entry's offset plus one (0 for none).
static bool name_repeated(u32* slots, const char* text, ByteSpan name, i64 offset)
{
    for (u64 i = name_hash(name) % k_env_name_slots;; i = (i + 1) % k_env_name_slots) {
        if (slots[i] == 0) {
            slots[i] = (u32)(offset + 1);
            return false;
        }
        const char* seen = text + slots[i] - 1;
        if (bytes_equal(seen, name.ptr, name.len) && seen[name.len] == '=')
            return true;
    }
}

// The name of an entry (the bytes at name), checked; 0 or the message's length.
static i64 check_variable_name(ByteSpan name, char* message)
{
    if (!variable_name_valid(name))
        return variable_message(message, "env variable names must match [A-Za-z_][A-Za-z0-9_]*: ", name, "");
    if (name.len >= 3 && bytes_equal(name.ptr, "LD_", 3))
        return variable_message(message, "env variable ", name, " is not allowed");
    if (server_sets_variable(name))
        return variable_message(message, "env variable ", name, " is set by the server");
    return 0;
}

struct EnvReader {
    char* text;
    u32* slots;
    i64 used;
    i64 count;
    // Every entry's bytes, stored or not, for the message of an environment too large.
    i64 total;
};

// One member of env as the entry "NAME=value" and its NUL at reader->used, checked. Once
// the entries pass k_env_bytes_max nothing more is stored, and only their size is counted.
static i64 read_variable(const char* json, i64 len, const JsonMember& member, EnvReader* reader, char* message)
{
    if (json[member.value] != '"')
        return append_text(message, 0, "env values must be strings");
    char scratch[1];
    bool storing = reader->total == reader->used;
    i64 room = storing ? k_env_bytes_max - reader->used - 1 : 0;
    char* at = storing ? reader->text + reader->used : scratch;
    JsonString name = json_decode_string(json, len, member.name, at, room);
    room = room - name.stored - 1;
    storing = storing && name.decoded == name.stored && room >= 0;
    JsonString value = json_decode_string(json, len, member.value, storing ? at + name.stored + 1 : scratch, storing ? room : 0);
    reader->total += name.decoded + 1 + value.decoded + 1;
    if (!storing || value.decoded > value.stored)
        return 0;
    ByteSpan name_span { at, name.stored };
    if (i64 refused = check_variable_name(name_span, message))
        return refused;
    for (i64 i = 0; i < value.stored; i++)
        if (at[name.stored + 1 + i] == 0)
            return variable_message(message, "env variable ", name_span, " must not contain a zero byte");
    if (name_repeated(reader->slots, reader->text, name_span, reader->used))
        return variable_message(message, "env variable ", name_span, " is given twice");
    at[name.stored] = '=';
    reader->used = reader->total;
    reader->count++;
    return 0;
}

static i64 read_env(const char* json, i64 len, i64 value, ExecFields* fields, char* message)
{
    if (json[value] != '{')
        return append_text(message, 0, "env must be an object whose values are strings");
    EnvReader reader { (char*)heap_alloc(k_env_bytes_max), (u32*)heap_alloc(k_env_name_slots * 4), 0, 0, 0 };
    if (!reader.text || !reader.slots)
        return -1;
    JsonMember member {};
    const JsonMember* previous = nullptr;
    JsonMemberStep step;
    while ((step = json_next_member(json, len, value, previous, &member)) == k_json_member) {
        previous = &member;
        if (i64 refused = read_variable(json, len, member, &reader, message))
            return refused;
    }
    if (step == k_json_members_malformed)
        return append_text(message, 0, "env must be an object whose values are strings");
    if (reader.total > k_env_bytes_max)
        return append_number_text(message, 0, "env is too large (", reader.total, " bytes, limit 32768)");
    fields->env = { reader.text, reader.used };
    fields->env_count = reader.count;
    return 0;
}

static i64 read_cwd(const char* json, i64 len, i64 value, ExecFields* fields, char* message)
{
    char* given = (char*)heap_alloc(k_cwd_max + 1);
    char* resolved = (char*)heap_alloc(k_cwd_max + 1);
    if (!given || !resolved)
        return -1;
    JsonString text = json_decode_string(json, len, value, given, k_cwd_max);
    if (text.end < 0)
        return append_text(message, 0, "cwd must be a string");
    if (text.decoded > text.stored)
        return append_number_text(message, 0, "cwd is too long (", text.decoded, " bytes, limit 4095)");
    for (i64 i = 0; i < text.stored; i++)
        if (given[i] == 0)
            return append_text(message, 0, "cwd must not contain a zero byte");
    CwdPath path = resolve_cwd(given, text.stored, resolved);
    if (path.status == k_cwd_outside)
        return append_text(message, 0, "cwd must be inside the workspace (/tmp)");
    if (path.status == k_cwd_too_long)
        return append_number_text(message, 0, "cwd is too long (", text.decoded, " bytes, limit 4095)");
    fields->cwd = { resolved, path.len };
    return 0;
}

static i64 read_stdin(const char* json, i64 len, i64 value, bool base64, ExecFields* fields, char* message)
{
    char* data = (char*)heap_alloc(k_stdin_text_max + 1);
    if (!data)
        return -1;
    JsonString text = json_decode_string(json, len, value, data, base64 ? k_stdin_text_max : k_stdin_max);
    if (text.end < 0)
        return append_text(message, 0, "stdin must be a string");
    if (text.decoded > text.stored && base64)
        return append_number_text(message, 0, "stdin is too large (", text.decoded, " bytes of Base64 text, limit 1048576 bytes decoded)");
    if (text.decoded > text.stored)
        return append_number_text(message, 0, "stdin is too large (", text.decoded, " bytes, limit 1048576)");
    i64 data_len = base64 ? base64_decode(data, text.stored, data) : text.stored;
    if (data_len < 0)
        return append_text(message, 0, "stdin is not valid Base64");
    if (data_len > k_stdin_max)
        return append_number_text(message, 0, "stdin is too large (", data_len, " bytes, limit 1048576)");
    fields->stdin_data = { data, data_len };
    return 0;
}

// "utf-8" (the default) or "base64"; -1 for anything else.
static i64 stdin_encoding(const char* json, i64 len, i64 value)
{
    char name[8];
    JsonString text = json_decode_string(json, len, value, name, 7);
    if (text.end >= 0 && text.decoded == text.stored && span_equals({ name, text.stored }, "utf-8"))
        return 0;
    if (text.end >= 0 && text.decoded == text.stored && span_equals({ name, text.stored }, "base64"))
        return 1;
    return -1;
}

static i64 read_timeout(const char* json, i64 len, i64 value, i64 limit_ms, ExecFields* fields, char* message)
{
    JsonInteger number = json_read_integer(json, len, value);
    if (!number.ok || number.value < 1)
        return append_text(message, 0, "timeout_ms must be a whole number of milliseconds, at least 1");
    if (number.value > limit_ms) {
        i64 pos = append_number_text(message, 0, "timeout_ms ", number.value, " is over the limit of ");
        return append_number_text(message, pos, "", limit_ms, " for this profile");
    }
    fields->timeout_ms = number.value;
    return 0;
}

// The value of member key, or -1 when it is absent or null (which keeps the default).
static i64 given_member(const char* json, i64 len, const char* key)
{
    i64 value = json_find_member(json, len, 0, key, text_length(key));
    if (value < 0 || (value + 4 <= len && bytes_equal(json + value, "null", 4)))
        return -1;
    return value;
}

static bool literal_at(const char* json, i64 len, i64 value, const char* word)
{
    i64 word_len = text_length(word);
    return value + word_len <= len && bytes_equal(json + value, word, word_len);
}

i64 read_exec_fields(const char* json, i64 len, i64 timeout_limit_ms, ExecFields* fields, char* message)
{
    *fields = { false, { "", 0 }, { "", 0 }, 0, { nullptr, 0 }, 0, -1, false, false };
    if (i64 value = given_member(json, len, "merge_stderr"); value >= 0) {
        fields->merge_stderr = literal_at(json, len, value, "true");
        if (!fields->merge_stderr && !literal_at(json, len, value, "false"))
            return append_text(message, 0, "merge_stderr must be true or false");
    }
    if (i64 value = given_member(json, len, "stream"); value >= 0) {
        fields->stream = literal_at(json, len, value, "true") ? 1 : literal_at(json, len, value, "false") ? 0 : -2;
        if (fields->stream == -2)
            return append_text(message, 0, "stream must be true or false");
    }
    i64 refused = 0;
    if (i64 value = given_member(json, len, "cwd"); value >= 0 && (refused = read_cwd(json, len, value, fields, message)))
        return refused;
    if (i64 value = given_member(json, len, "env"); value >= 0 && (refused = read_env(json, len, value, fields, message)))
        return refused;
    i64 base64 = 0;
    if (i64 value = given_member(json, len, "stdin_encoding"); value >= 0 && (base64 = stdin_encoding(json, len, value)) < 0)
        return append_text(message, 0, R"(stdin_encoding must be "utf-8" or "base64")");
    if (i64 value = given_member(json, len, "stdin"); value >= 0 && (refused = read_stdin(json, len, value, base64 == 1, fields, message)))
        return refused;
    if (i64 value = given_member(json, len, "background"); value >= 0) {
        fields->background = literal_at(json, len, value, "true");
        if (!fields->background && !literal_at(json, len, value, "false"))
            return append_text(message, 0, "background must be true or false");
    }
    if (i64 value = given_member(json, len, "console"); value >= 0) {
        fields->console = literal_at(json, len, value, "true");
        if (!fields->console && !literal_at(json, len, value, "false"))
            return append_text(message, 0, "console must be true or false");
    }
    if (fields->console && fields->background)
        return append_text(message, 0, "a console command cannot run in the background");
    // A background run may live up to max_background_seconds whatever its profile.
    if (fields->background)
        timeout_limit_ms = state.max_background_seconds * 1000;
    if (i64 value = given_member(json, len, "timeout_ms"); value >= 0 && (refused = read_timeout(json, len, value, timeout_limit_ms, fields, message)))
        return refused;
    if (fields->background && fields->stdin_data.ptr != nullptr)
        return append_text(message, 0, "a background run takes its stdin from POST /api/runs/{id}/stdin");
    if (fields->background && fields->stream == 1)
        return append_text(message, 0, "a background run streams from GET /api/runs/{id}/events");
    return 0;
}

