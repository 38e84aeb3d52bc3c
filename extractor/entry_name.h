// What an archive entry's name means on this machine: its characters, and
// whether it may be created below the destination at all.
#pragma once

#include "zip_archive.h"

#include <wchar.h>

const int ENTRY_PATH_CAPACITY = 2048;  // UTF-16 units of a decoded name or relative path

// Decodes the stored name: UTF-8 when the entry says so (flag bit 11), or when it
// was made on Unix and the bytes are valid UTF-8; code page 437 otherwise.
// Returns NULL, or why the name cannot be decoded.
const char* DecodeEntryName(const ZipEntry* entry, wchar_t* name, int capacity);

// Checks a decoded name against everything that could land outside the
// destination or that Windows would misread. Returns NULL when it is safe and
// writes the relative path, its folders joined by '\' ("." and empty components
// dropped; empty for the destination itself), into `path`; otherwise returns the reason it is refused.
const char* CheckEntryName(const wchar_t* name, wchar_t* path, int capacity);
