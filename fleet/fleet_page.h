// The fleet page: built once at start-up from the embedded page sources and the sandbox
// table of FleetConfig, and the same for every request after that.
#pragma once
#include "runtime/types.h"

constexpr i64 k_fleet_page_buffer = 65536;

// Writes the whole page into buf (k_fleet_page_buffer bytes) from offset 0, with one card
// and one entry of the script's list S per sandbox in use. Returns the page's length.
i64 build_fleet_page(char* buf);

// Appends the card of sandbox entry index, showing name; returns the new length.
i64 build_fleet_card(char* buf, i64 len, i64 index, const char* name);
