// Where the jail lives, and its preparation at start-up.
#pragma once

constexpr char k_jail_root[] = "/var/terox/jail";
constexpr char k_jail_tmp[] = "/var/terox/jail/tmp";

// As root: the jail's directories and read-only binds of the host's system trees.
void prepare_jail();
