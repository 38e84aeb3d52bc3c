// Bounded text composition with the platform run-time library's own formatter.
// Not part of the replaceable platform: the unit tests use it as it is.
#pragma once

#include <stddef.h>

// Formats into `text`, which holds `size` bytes, and always leaves it terminated.
// Returns 1 when the whole text fit, 0 when it was cut.
int ComposeText(char* text, size_t size, const char* format, ...) __attribute__((format(ms_printf, 3, 4)));

// Writes the decimal digits of `value` and a terminator into `text` (21 bytes or
// more): the run-time's formatter has no portable 64-bit conversion.
void FormatDecimal(char* text, unsigned long long value);
