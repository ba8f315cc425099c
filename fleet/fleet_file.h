// The fleet file, /etc/cindervox/fleet: the sandboxes the page watches, one a line:
//
//   name url [user:password]
//
// separated by blanks or tabs. name: 1 to 31 of A-Z a-z 0-9 . _ -; url: "http://" or
// "https://" and up to 64 bytes of host, port and path characters (a trailing "/" is
// dropped); user:password: that sandbox's own Basic login (printable, no blanks, at most
// 63 bytes), else the page uses the sandboxes' built-in default. One line may instead be
//
//   login user:password
//
// the page's own login (same rules for user:password), kept as its Base64 text; without
// it the page asks for the default admin:wickerpod. A second login line is skipped. Lines starting with "#"
// and blank lines are skipped, CR LF ends a line as LF does. At most
// k_fleet_sandbox_slots sandboxes. Pure: compiled hosted for tests.
#pragma once
#include "fleet/fleet_config.h"
#include "runtime/types.h"

constexpr char k_fleet_file_path[] = "/etc/cindervox/fleet";
// The most of the file that is read; lines beyond it are not seen.
constexpr i64 k_fleet_file_max = 8191;
// How many unparsable lines are named on the console; the rest are only counted.
constexpr i64 k_fleet_skipped_named = 8;

// The texts an entry read from the file points to.
struct FleetEntryText {
    char url[k_fleet_url_max + 1];
    char name[k_fleet_name_max + 1];
    char auth[k_fleet_auth_max + 1];
};

struct FleetFileOutcome {
    i64 entries;
    i64 skipped_count;
    i64 skipped_lines[k_fleet_skipped_named];
    // Well-formed lines past the table's last slot.
    i64 beyond_slots;
    // True when a login line set the page's login.
    bool login_given;
};

// Reads one line (without its line end) into text. 1 when it names a sandbox, else 0.
i64 parse_fleet_line(const char* line, i64 len, FleetEntryText* text);

// Reads the file's text into texts (k_fleet_sandbox_slots of them) and, when it names at
// least one sandbox, makes config's table exactly those sandboxes, in file order. With
// none, the table is left as it was. A login line sets config's login. Line numbers count
// from 1.
FleetFileOutcome apply_fleet_file_text(const char* text, i64 len, FleetEntryText* texts, FleetConfig* config);
