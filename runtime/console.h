// Console output: each message is one write to standard output, unbuffered.
#pragma once
#include "runtime/types.h"

void print(const char* text);
void print_bytes(const char* text, i64 len);

// The value in decimal followed by "\n", in one write.
void print_decimal_line(i64 value);


// One console line built in a fixed buffer and written in one write. An append that would
// pass the end writes nothing and marks the line failed; a failed line is still written,
// ending in " [line too long]" so that nothing is lost without a mark.
constexpr i64 k_console_line_max = 256;
struct ConsoleLine {
    char text[k_console_line_max];
    i64 len;
    bool failed;
};
void line_bytes(ConsoleLine* line, const char* bytes, i64 len);
void line_text(ConsoleLine* line, const char* text);
void line_decimal(ConsoleLine* line, i64 value);
// Writes the line and its LF.
void print_line(const ConsoleLine& line);

// Starts a line about one line of a file: "<source> line <number>: ", as in
// "[Cindervox] /etc/cindervox/config line 3: port must be 1 to 65535; ignored".
void begin_file_line_notice(ConsoleLine* line, const char* source, i64 number);
