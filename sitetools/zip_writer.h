// Writes a package archive, entry by entry, streaming each file through zlib's
// deflate with fixed buffers: deflated, or stored where deflate does not shrink
// the entry; zip64 records where a size, an offset or the count needs them;
// names that are not ASCII marked UTF-8. Nothing in it depends on the time of
// writing or on chance: the same files give the same bytes.
#pragma once

#include <windows.h>

struct ZipWriter {
    HANDLE archive;
    HANDLE central;  // the central directory, gathered in a file of its own
    unsigned long long offset;
    unsigned long long centralSize;
    unsigned long long entries;
};

// 1 when both files could be created.
int ZipWriterOpen(ZipWriter* writer, const wchar_t* archivePath, const wchar_t* centralPath);

// Adds a folder ("name/") or a file read from `source`, its time `modified`.
// `name` is the entry's name in UTF-8, folders separated by '/'. Returns 1, or
// 0 with the reason in `*problem`.
int ZipWriterAddFolder(ZipWriter* writer, const char* name, const FILETIME* modified, const char** problem);
int ZipWriterAddFile(ZipWriter* writer, const char* name, const wchar_t* source, const FILETIME* modified,
                     const char** problem);

// Appends the central directory and the end records and closes both files.
int ZipWriterFinish(ZipWriter* writer, const char** problem);

// Closes whatever is open, after a failure.
void ZipWriterAbandon(ZipWriter* writer);
