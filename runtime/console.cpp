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
