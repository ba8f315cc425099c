#include "runtime/console.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

void print(const char* text) { sys_write(1, text, text_length(text)); }

void print_bytes(const char* text, i64 len) { sys_write(1, text, len); }

void print_decimal_line(i64 value)
{
    char line[k_decimal_max + 1];
    i64 len = append_decimal(line, 0, value);
    line[len] = '\n';
    sys_write(1, line, len + 1);
}

static constexpr char k_too_long_mark[] = " [line too long]\n";

void line_bytes(ConsoleLine* line, const char* bytes, i64 len)
{
    // Room is kept for the mark, so a failed line can always say so.
    if (line->failed || line->len + len > k_console_line_max - (i64)sizeof(k_too_long_mark)) {
        line->failed = true;
        return;
    }
    line->len = append_bytes(line->text, line->len, bytes, len);
}

void line_text(ConsoleLine* line, const char* text) { line_bytes(line, text, text_length(text)); }

void line_decimal(ConsoleLine* line, i64 value)
{
    char digits[k_decimal_max];
    line_bytes(line, digits, append_decimal(digits, 0, value));
}

void print_line(const ConsoleLine& line)
{
    char out[k_console_line_max];
    i64 len = append_bytes(out, 0, line.text, line.len);
    len = line.failed ? append_text(out, len, k_too_long_mark) : append_byte(out, len, '\n');
    sys_write(1, out, len);
}

void begin_file_line_notice(ConsoleLine* line, const char* source, i64 number)
{
    line->len = 0;
    line->failed = false;
    line_text(line, source);
    line_text(line, " line ");
    line_decimal(line, number);
    line_text(line, ": ");
}
