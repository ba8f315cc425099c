// Names and URLs go into the page's markup and script as they are, so the reader admits
// only characters that need no escaping there; a login goes in only as its Base64 text.
#include "fleet/fleet_file.h"
#include "runtime/text.h"

static_assert(k_fleet_auth_max == 4 * ((k_fleet_login_max + 2) / 3));

struct Word {
    const char* start;
    i64 len;
};

static bool is_blank(char ch)
{
    return ch == ' ' || ch == '\t' || ch == '\r';
}

static bool is_name_char(char ch)
{
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9')
        || ch == '.' || ch == '_' || ch == '-';
}

// Host names, IPv4 and bracketed IPv6 addresses, a port and a plain path.
static bool is_url_char(char ch)
{
    return is_name_char(ch) || ch == ':' || ch == '/' || ch == '[' || ch == ']' || ch == '~';
}

static bool all_of(Word word, bool (*accept)(char))
{
    for (i64 i = 0; i < word.len; i++)
        if (!accept(word.start[i]))
            return false;
    return true;
}

// Splits the line at blanks into at most max words; returns how many there are, which
// may exceed max.
static i64 split_words(const char* line, i64 len, Word* words, i64 max)
{
    i64 count = 0;
    i64 pos = 0;
    for (;;) {
        while (pos < len && is_blank(line[pos]))
            pos++;
        if (pos == len)
            return count;
        i64 start = pos;
        while (pos < len && !is_blank(line[pos]))
            pos++;
        if (count < max)
            words[count] = { line + start, pos - start };
        count++;
    }
}

static bool starts_with(Word word, const char* prefix, i64 prefix_len)
{
    return word.len >= prefix_len && bytes_equal(word.start, prefix, prefix_len);
}

static bool valid_url(Word url)
{
    i64 scheme = starts_with(url, "http://", 7) ? 7 : starts_with(url, "https://", 8) ? 8 : 0;
    return scheme > 0 && url.len > scheme && url.len <= k_fleet_url_max && all_of(url, is_url_char);
}

static bool valid_login(Word login)
{
    if (login.len > k_fleet_login_max || find_bytes(login.start, login.len, 0, ":", 1) < 0)
        return false;
    return all_of(login, [](char ch) { return ch > ' ' && ch < 0x7f; });
}

static void copy_text(char* out, Word word)
{
    i64 end = append_bytes(out, 0, word.start, word.len);
    out[end] = 0;
}

i64 parse_fleet_line(const char* line, i64 len, FleetEntryText* text)
{
    Word words[3];
    i64 count = split_words(line, len, words, 3);
    if (count < 2 || count > 3)
        return 0;
    Word name = words[0];
    Word url = words[1];
    while (url.len > 0 && url.start[url.len - 1] == '/')
        url.len--;
    if (name.len > k_fleet_name_max || !all_of(name, is_name_char) || !valid_url(url))
        return 0;
    if (count == 3 && !valid_login(words[2]))
        return 0;
    copy_text(text->name, name);
    copy_text(text->url, url);
    text->auth[0] = 0;
    if (count == 3)
        base64_encode(words[2].start, words[2].len, text->auth);
    return 1;
}

static constexpr char k_login_word[] = "login";
static constexpr i64 k_login_word_len = sizeof(k_login_word) - 1;

enum LoginLine { k_not_login_line, k_login_taken, k_login_malformed };

// A line whose first word is "login" gives the page's own login: its Base64 text goes into
// config unless the line is malformed or config is null (a login was given already).
static LoginLine take_login_line(const char* line, i64 len, FleetConfig* config)
{
    Word words[2];
    i64 count = split_words(line, len, words, 2);
    if (count < 1 || words[0].len != k_login_word_len || !bytes_equal(words[0].start, k_login_word, k_login_word_len))
        return k_not_login_line;
    if (count != 2 || !valid_login(words[1]) || !config)
        return k_login_malformed;
    config->login_len = base64_encode(words[1].start, words[1].len, config->login);
    config->login_configured = true;
    return k_login_taken;
}

static bool is_comment_or_blank(const char* line, i64 len)
{
    i64 pos = 0;
    while (pos < len && is_blank(line[pos]))
        pos++;
    return pos == len || line[pos] == '#';
}

FleetFileOutcome apply_fleet_file_text(const char* text, i64 len, FleetEntryText* texts, FleetConfig* config)
{
    FleetFileOutcome outcome {};
    i64 line_number = 0;
    for (i64 start = 0; start < len;) {
        i64 end = start;
        while (end < len && text[end] != '\n')
            end++;
        line_number++;
        const char* line = text + start;
        i64 line_len = end - start;
        start = end + 1;
        if (is_comment_or_blank(line, line_len))
            continue;
        // Only the first login line is taken; a later one is skipped as malformed.
        LoginLine login = take_login_line(line, line_len, outcome.login_given ? nullptr : config);
        if (login == k_login_taken) {
            outcome.login_given = true;
            continue;
        }
        FleetEntryText parsed;
        if (login == k_login_malformed || !parse_fleet_line(line, line_len, &parsed)) {
            if (outcome.skipped_count < k_fleet_skipped_named)
                outcome.skipped_lines[outcome.skipped_count] = line_number;
            outcome.skipped_count++;
            continue;
        }
        if (outcome.entries == k_fleet_sandbox_slots) {
            outcome.beyond_slots++;
            continue;
        }
        texts[outcome.entries++] = parsed;
    }
    if (outcome.entries == 0)
        return outcome;
    config->sandbox_count = outcome.entries;
    for (i64 i = 0; i < outcome.entries; i++) {
        const FleetEntryText& entry = texts[i];
        config->sandboxes[i] = { entry.url, entry.name, entry.auth[0] ? entry.auth : nullptr };
    }
    return outcome;
}
