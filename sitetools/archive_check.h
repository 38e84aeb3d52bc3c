// What a package archive must be for the installer: readable by z.exe whole,
// every entry's data intact, every name one that z.exe unpacks, and the layout
// the installer relies on. Shared by the site check and the publishing tool.
#pragma once

#include <stddef.h>
#include <wchar.h>

struct ArchiveSummary {
    unsigned long long entries;
    unsigned long long files;
    unsigned long long bytes;  // unpacked
};

// Where an entry may go: below Kestrow\ or Tallywise\, and not over a file the
// installer itself writes in \Kestrow. `path` is the relative path that
// CheckEntryName made. Returns NULL, or what would go wrong.
const char* PackagePathProblem(const wchar_t* path);

// 1 when the archive at `path` is a good package; otherwise 0 and the first
// problem found in `problem` (UTF-8).
int CheckPackageArchive(const wchar_t* path, ArchiveSummary* summary, char* problem, size_t size);
