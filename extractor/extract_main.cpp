// z.exe -extract -directories -overwrite ARCHIVE DESTINATION
// The extractor a distribution site serves: unpacks ARCHIVE below DESTINATION.
#include "extract.h"

#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 6 || lstrcmpW(argv[1], L"-extract") != 0 || lstrcmpW(argv[2], L"-directories") != 0 ||
        lstrcmpW(argv[3], L"-overwrite") != 0) {
        static const char kUsage[] = "usage: z.exe -extract -directories -overwrite ARCHIVE DESTINATION\n";
        DWORD done = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), kUsage, sizeof kUsage - 1, &done, NULL);
        return EXTRACT_UNREADABLE;
    }
    return ExtractArchive(argv[4], argv[5]);
}
