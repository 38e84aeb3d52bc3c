#include "compose.h"

#include <stdarg.h>
#include <stdio.h>

int ComposeText(char* text, size_t size, const char* format, ...) {
    if (size == 0) {
        return 0;
    }
    // msvcrt's _vsnprintf answers a cut with -1, or with `size` and no terminator
    // when the text fills the buffer exactly; a C99 formatter answers with the
    // full length. Either way a cut is reported and the text stays terminated.
    va_list args;
    va_start(args, format);
    int length = _vsnprintf(text, size, format, args);
    va_end(args);
    text[size - 1] = '\0';
    return length >= 0 && static_cast<size_t>(length) < size ? 1 : 0;
}

void FormatDecimal(char* text, unsigned long long value) {
    char reversed[20];
    int count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int i = 0; i < count; ++i) {
        text[i] = reversed[count - 1 - i];
    }
    text[count] = '\0';
}
