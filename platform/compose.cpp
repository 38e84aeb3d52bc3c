#include "compose.h"

#include <stdio.h>

int ComposeTextV(char* text, size_t size, const char* format, va_list args) {
    if (size == 0) {
        return 0;
    }
    // msvcrt's _vsnprintf answers a cut with -1, or with `size` and no terminator
    // when the text fills the buffer exactly; a C99 formatter answers with the
    // full length. Either way a cut is reported and the text stays terminated.
    int length = _vsnprintf(text, size, format, args);
    text[size - 1] = '\0';
    return length >= 0 && static_cast<size_t>(length) < size ? 1 : 0;
}

int ComposeText(char* text, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int fits = ComposeTextV(text, size, format, args);
    va_end(args);
    return fits;
}
