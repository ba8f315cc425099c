// Process entry and the four memory functions the compiler may call. Built only into
// the freestanding programs; the hosted test build takes these from the C library.
#include "runtime/types.h"

// argc and argv as the kernel laid them out: argc at the stack pointer, the argument
// pointers after it, ended by a null pointer.
extern "C" [[noreturn]] void program_main(int argc, char** argv);

// The kernel enters with the stack 16-byte aligned; the call pushes the return address
// exactly as the ABI expects at a function's first instruction.
asm(".text\n"
    ".globl _start\n"
    ".type _start,@function\n"
    "_start:\n"
    "    xor %ebp, %ebp\n"
    "    mov (%rsp), %edi\n"
    "    lea 8(%rsp), %rsi\n"
    "    and $-16, %rsp\n"
    "    call program_main\n"
    "    hlt\n");

extern "C" {

void* memcpy(void* dst, const void* src, u64 len)
{
    char* d = (char*)dst;
    const char* s = (const char*)src;
    asm volatile("rep movsb" : "+D"(d), "+S"(s), "+c"(len) : : "memory");
    return dst;
}

void* memmove(void* dst, const void* src, u64 len)
{
    char* d = (char*)dst;
    const char* s = (const char*)src;
    if (d <= s || d >= s + len)
        return memcpy(dst, src, len);
    for (u64 i = len; i > 0; i--)
        d[i - 1] = s[i - 1];
    return dst;
}

void* memset(void* dst, int value, u64 len)
{
    char* d = (char*)dst;
    asm volatile("rep stosb" : "+D"(d), "+c"(len) : "a"(value) : "memory");
    return dst;
}

int memcmp(const void* a, const void* b, u64 len)
{
    const u8* x = (const u8*)a;
    const u8* y = (const u8*)b;
    for (u64 i = 0; i < len; i++)
        if (x[i] != y[i])
            return x[i] < y[i] ? -1 : 1;
    return 0;
}
}
