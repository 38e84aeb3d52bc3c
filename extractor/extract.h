// Unpacks a whole zip archive below a destination folder, entry by entry, each
// file replaced only by a complete and verified one.
#pragma once

#include <wchar.h>

enum ExtractStatus {
    EXTRACT_ALL_UNPACKED = 0,
    EXTRACT_SOME_FAILED = 1,  // each named on standard error; the others were unpacked
    EXTRACT_UNREADABLE = 2    // the archive cannot be read at all, or wrong usage
};

int ExtractArchive(const wchar_t* archivePath, const wchar_t* destination);

// Writes "z.exe: SUBJECT: PROBLEM" as a line on standard error.
void ReportProblem(const wchar_t* subject, const char* problem);
