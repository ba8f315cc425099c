// Console output: each message is one write to standard output, unbuffered.
#pragma once
#include "runtime/types.h"

void print(const char* text);
void print_bytes(const char* text, i64 len);

// The value in decimal followed by "\n", in one write.
void print_decimal_line(i64 value);
