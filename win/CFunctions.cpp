// The C functions that the compiler may call for copies, fills and
// comparisons of memory, and for a loop that counts the characters of a text
// (GCC 12 turns such a loop into strlen), for the programs that ship without
// a C run-time.
// This file is built with -fno-tree-loop-distribute-patterns, so that the
// compiler does not turn these very loops back into calls of themselves.
#include <stddef.h>

extern "C" {

void* memcpy(void* to, const void* from, size_t count)
{
    auto* out = static_cast<unsigned char*>(to);
    auto* in = static_cast<const unsigned char*>(from);
    while (count--)
        *out++ = *in++;
    return to;
}

// Copies forwards or backwards, whichever leaves overlapping bytes intact.
void* memmove(void* to, const void* from, size_t count)
{
    auto* out = static_cast<unsigned char*>(to);
    auto* in = static_cast<const unsigned char*>(from);
    if (out < in) {
        while (count--)
            *out++ = *in++;
    } else {
        while (count--)
            out[count] = in[count];
    }
    return to;
}

void* memset(void* to, int value, size_t count)
{
    auto* out = static_cast<unsigned char*>(to);
    while (count--)
        *out++ = static_cast<unsigned char>(value);
    return to;
}

int memcmp(const void* left, const void* right, size_t count)
{
    auto* a = static_cast<const unsigned char*>(left);
    auto* b = static_cast<const unsigned char*>(right);
    for (; count; --count, ++a, ++b) {
        if (*a != *b)
            return *a < *b ? -1 : 1;
    }
    return 0;
}

size_t strlen(const char* text)
{
    size_t length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

} // extern "C"
