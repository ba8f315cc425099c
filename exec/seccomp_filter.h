// The seccomp program every command runs under. It kills the process on any call made
// under another architecture, on any x32 call number, and on the network, tracing and
// kernel-management calls of its table; a local (AF_UNIX) socket fails with EACCES
// instead, so the C library's name-service lookups fall back to files. Pure: it only
// fills an array, so it is tested hosted.
#pragma once
#include "runtime/abi.h"
#include "runtime/types.h"

// Room for the program: 5 instructions for the architecture and x32 checks, one per
// filtered call (18), the allow, 3 for the socket family test and the kill make 28.
constexpr i64 k_seccomp_filter_max = 32;

// Writes the program into out (k_seccomp_filter_max entries) and returns its length.
i64 build_seccomp_filter(sock_filter_k* out);
