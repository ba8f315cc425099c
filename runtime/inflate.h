// A raw DEFLATE decoder (RFC 1951: stored, fixed-code and dynamic-code blocks), small
// rather than fast: the server keeps its admin page compressed and inflates it once. It
// reads nothing past the input and writes nothing past the output's capacity; a stream
// that is malformed, cut short, followed by stray bytes, or longer than the capacity once
// inflated is refused as a whole.
#pragma once
#include "runtime/types.h"

// Inflates in_len bytes of in (one complete raw stream, no zlib or gzip wrapper) into out,
// which holds capacity bytes; returns the inflated length, or -1 when the stream is refused
// (out may then hold part of it).
i64 inflate_raw(const u8* in, i64 in_len, u8* out, i64 capacity);
