#include "extract.h"

#include "entry_name.h"
#include "platform/compose.h"
#include "zip_archive.h"

#include <windows.h>

namespace {

const int kRootCapacity = 1024;
const int kTargetCapacity = kRootCapacity + ENTRY_PATH_CAPACITY + 16;
const DWORD kOutputChunk = 65536;

// Appends `text` to `path` (capacity in units); 0 when it does not fit.
int Append(wchar_t* path, int capacity, int* used, const wchar_t* text) {
    for (; *text != L'\0'; ++text) {
        if (*used + 1 >= capacity) {
            return 0;
        }
        path[(*used)++] = *text;
    }
    path[*used] = L'\0';
    return 1;
}

int IsFolder(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
}

// Creates every folder of `path` from position `from` on, the whole path
// included when `withLast` is set; 0 (with the error) when one cannot be made.
int CreateFolders(wchar_t* path, int from, int withLast, DWORD* error) {
    *error = 0;
    if (static_cast<int>(wcslen(path)) <= from) {
        return 1;  // a drive's root, or a share: there already
    }
    for (int i = from;; ++i) {
        wchar_t c = path[i];
        if (c == L'\\' || (c == L'\0' && withLast)) {
            path[i] = L'\0';
            int made = CreateDirectoryW(path, NULL) || IsFolder(path);
            *error = made ? 0 : GetLastError();
            path[i] = c;
            if (!made) {
                return 0;
            }
        }
        if (c == L'\0') {
            return 1;
        }
    }
}

// "\\?\D:\dest" for the destination: long paths and names are taken literally.
int RootPath(const wchar_t* destination, wchar_t* root, int* rootLength, int* createFrom) {
    wchar_t full[kRootCapacity];
    DWORD length = GetFullPathNameW(destination, kRootCapacity, full, NULL);
    if (length == 0 || length >= static_cast<DWORD>(kRootCapacity)) {
        return 0;
    }
    while (length > 0 && full[length - 1] == L'\\') {
        full[--length] = L'\0';
    }
    int used = 0;
    int ok = 0;
    if (full[0] == L'\\' && full[1] == L'\\' && full[2] != L'?') {
        ok = Append(root, kRootCapacity, &used, L"\\\\?\\UNC\\") &&
             Append(root, kRootCapacity, &used, full + 2);
        *createFrom = used;  // the share's folders exist; creating them is not ours to do
    } else if (full[0] == L'\\' && full[1] == L'\\') {
        ok = Append(root, kRootCapacity, &used, full);
        *createFrom = 7;
    } else {
        ok = Append(root, kRootCapacity, &used, L"\\\\?\\") && Append(root, kRootCapacity, &used, full);
        *createFrom = 7;  // past "\\?\D:\"
    }
    *rootLength = used;
    return ok;
}

void EntryTime(const ZipEntry* entry, FILETIME* time, int* known) {
    ULARGE_INTEGER value;
    *known = 1;
    if (entry->hasNtfsTime) {
        value.QuadPart = entry->ntfsTime;
    } else if (entry->hasUnixTime) {
        value.QuadPart = static_cast<ULONGLONG>(entry->unixTime * 10000000LL + 116444736000000000LL);
    } else {
        FILETIME local;
        *known = DosDateTimeToFileTime(static_cast<WORD>(entry->dosDate), static_cast<WORD>(entry->dosTime),
                                       &local) &&
                 LocalFileTimeToFileTime(&local, time);
        return;
    }
    time->dwLowDateTime = value.LowPart;
    time->dwHighDateTime = value.HighPart;
}

struct Work {
    ZipArchive archive;
    ZipEntryReader reader;
    unsigned char output[kOutputChunk];
    wchar_t root[kRootCapacity];
    wchar_t name[ENTRY_PATH_CAPACITY];
    wchar_t relative[ENTRY_PATH_CAPACITY];
    wchar_t target[kTargetCapacity];
    wchar_t temporary[kTargetCapacity];
    int rootLength;
    int createFrom;
    unsigned long temporaryCount;
};

// A new empty file beside the target, under a name of its own.
HANDLE CreateTemporary(Work* work, int folderLength) {
    for (int i = 0; i < folderLength; ++i) {
        work->temporary[i] = work->target[i];
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[32];
        wchar_t wide[32];
        ComposeText(suffix, sizeof suffix, "\\~zx%lx-%lx.tmp", GetCurrentProcessId(), work->temporaryCount++);
        MultiByteToWideChar(CP_ACP, 0, suffix, -1, wide, 32);
        int used = folderLength;
        work->temporary[used] = L'\0';
        if (!Append(work->temporary, kTargetCapacity, &used, wide)) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return INVALID_HANDLE_VALUE;
        }
        HANDLE file = CreateFileW(work->temporary, GENERIC_WRITE, 0, NULL, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, NULL);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
            return file;
        }
    }
    return INVALID_HANDLE_VALUE;
}

void ReportError(const wchar_t* subject, const char* what, DWORD error) {
    char problem[160];
    ComposeText(problem, sizeof problem, "%s (error %lu)", what, static_cast<unsigned long>(error));
    ReportProblem(subject, problem);
}

// Streams one entry into a temporary file and moves it over the target once
// it is complete and verified; 1 when the target now holds it.
int UnpackFile(Work* work, const ZipEntry* entry) {
    int folderLength = work->rootLength;
    for (int i = work->rootLength; work->target[i] != L'\0'; ++i) {
        if (work->target[i] == L'\\') {
            folderLength = i;
        }
    }
    DWORD error = 0;
    if (!CreateFolders(work->target, work->createFrom, 0, &error)) {
        ReportError(work->name, "its folder cannot be created", error);
        return 0;
    }
    int status = ZipEntryStart(&work->archive, entry, &work->reader);
    if (status == ZIP_DATA_UNSUPPORTED_METHOD) {
        char problem[96];
        ComposeText(problem, sizeof problem, "compression method %u (%s) is not supported", entry->method,
                    ZipMethodName(entry->method));
        ReportProblem(work->name, problem);
        return 0;
    }
    if (status != ZIP_DATA_OK) {
        ZipEntryEnd(&work->reader);
        ReportProblem(work->name, ZipDataStatusText(status));
        return 0;
    }
    HANDLE file = CreateTemporary(work, folderLength);
    if (file == INVALID_HANDLE_VALUE) {
        ZipEntryEnd(&work->reader);
        ReportError(work->name, "cannot be written", GetLastError());
        return 0;
    }
    DWORD got = 0;
    int written = 1;
    do {
        status = ZipEntryRead(&work->reader, work->output, kOutputChunk, &got);
        DWORD put = 0;
        if (status == ZIP_DATA_OK && got > 0 &&
            (!WriteFile(file, work->output, got, &put, NULL) || put != got)) {
            written = 0;
            error = GetLastError();
        }
    } while (status == ZIP_DATA_OK && written && got > 0);
    ZipEntryEnd(&work->reader);

    FILETIME time;
    int known = 0;
    EntryTime(entry, &time, &known);
    if (status == ZIP_DATA_OK && written && known) {
        SetFileTime(file, NULL, NULL, &time);
    }
    if (!CloseHandle(file) && written) {
        written = 0;
        error = GetLastError();
    }
    if (status != ZIP_DATA_OK || !written) {
        DeleteFileW(work->temporary);
        if (status != ZIP_DATA_OK) {
            ReportProblem(work->name, ZipDataStatusText(status));
        } else {
            ReportError(work->name, "cannot be written", error);
        }
        return 0;
    }

    // Windows will not replace a read-only file: clear the attribute, and put it
    // back if the file then cannot be replaced after all.
    DWORD attributes = GetFileAttributesW(work->target);
    int readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
    if (readOnly) {
        SetFileAttributesW(work->target, attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if (!MoveFileExW(work->temporary, work->target, MOVEFILE_REPLACE_EXISTING)) {
        error = GetLastError();
        if (readOnly) {
            SetFileAttributesW(work->target, attributes);
        }
        DeleteFileW(work->temporary);
        ReportError(work->name,
                    attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                        ? "a folder of that name is in the way"
                        : "the existing file cannot be replaced and was left as it was",
                    error);
        return 0;
    }
    return 1;
}

// One entry: 1 when it was unpacked, 0 when it was refused or failed (reported).
int UnpackEntry(Work* work, const ZipEntry* entry) {
    const char* refusal = DecodeEntryName(entry, work->name, ENTRY_PATH_CAPACITY);
    if (refusal != NULL) {
        // Shown as stored, byte for byte in code page 437, a NUL byte included.
        int kept = entry->nameLength < static_cast<unsigned>(ZIP_NAME_CAPACITY)
                       ? static_cast<int>(entry->nameLength)
                       : ZIP_NAME_CAPACITY - 1;
        int shown = MultiByteToWideChar(437, 0, entry->name, kept, work->name, ENTRY_PATH_CAPACITY - 1);
        for (int i = 0; i < shown; ++i) {
            work->name[i] = work->name[i] == L'\0' ? L'?' : work->name[i];
        }
        work->name[shown] = L'\0';
    } else {
        refusal = CheckEntryName(work->name, work->relative, ENTRY_PATH_CAPACITY);
    }
    int folder = ZipIsDirectory(entry);
    if (refusal == NULL && work->relative[0] == L'\0' && !folder) {
        refusal = "empty name";
    }
    if (refusal == NULL && ZipIsSymbolicLink(entry)) {
        refusal = "symbolic links are not unpacked";
    }
    if (refusal != NULL) {
        char problem[128];
        ComposeText(problem, sizeof problem, "refused: %s", refusal);
        ReportProblem(work->name, problem);
        return 0;
    }
    int used = 0;
    if (!Append(work->target, kTargetCapacity, &used, work->root) ||
        (work->relative[0] != L'\0' && (!Append(work->target, kTargetCapacity, &used, L"\\") ||
                                        !Append(work->target, kTargetCapacity, &used, work->relative)))) {
        ReportProblem(work->name, "refused: the path is too long");
        return 0;
    }
    if (folder) {
        DWORD error = 0;
        if (!CreateFolders(work->target, work->createFrom, 1, &error)) {
            ReportError(work->name, "the folder cannot be created", error);
            return 0;
        }
        return 1;
    }
    return UnpackFile(work, entry);
}

}  // namespace

void ReportProblem(const wchar_t* subject, const char* problem) {
    const int kLine = ENTRY_PATH_CAPACITY + 256;
    wchar_t line[kLine];
    int used = 0;
    Append(line, kLine, &used, L"z.exe: ");
    Append(line, kLine, &used, subject);
    // Control characters of a refused name would garble the line.
    for (int i = 0; i < used; ++i) {
        if (line[i] < 0x20 || line[i] == 0x7f) {
            line[i] = L'?';
        }
    }
    Append(line, kLine, &used, L": ");
    int length = MultiByteToWideChar(CP_UTF8, 0, problem, -1, line + used, kLine - used - 2);
    used += length > 0 ? length - 1 : 0;
    line[used++] = L'\n';
    line[used] = L'\0';

    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    DWORD done = 0;
    if (GetConsoleMode(error, &mode)) {
        WriteConsoleW(error, line, static_cast<DWORD>(used), &done, NULL);
        return;
    }
    // A pipe or a file gets UTF-8.
    char bytes[3 * kLine];
    int size = WideCharToMultiByte(CP_UTF8, 0, line, used, bytes, sizeof bytes, NULL, NULL);
    WriteFile(error, bytes, static_cast<DWORD>(size), &done, NULL);
}

int ExtractArchive(const wchar_t* archivePath, const wchar_t* destination) {
    // Well over a hundred kilobytes: on the stack, not in a static the file would carry.
    Work work;
    work.temporaryCount = 0;
    int status = ZipOpen(&work.archive, archivePath);
    if (status != ZIP_OK) {
        ReportProblem(archivePath, ZipArchiveStatusText(status));
        return EXTRACT_UNREADABLE;
    }
    DWORD error = 0;
    if (!RootPath(destination, work.root, &work.rootLength, &work.createFrom) ||
        !CreateFolders(work.root, work.createFrom, 1, &error)) {
        ZipClose(&work.archive);
        ReportError(destination, "the destination folder cannot be used", error);
        return EXTRACT_UNREADABLE;
    }

    int failures = 0;
    ZipEntry entry;
    while (ZipNextEntry(&work.archive, &entry) == 1) {
        if (!UnpackEntry(&work, &entry)) {
            ++failures;
        }
    }
    ZipClose(&work.archive);
    return failures == 0 ? EXTRACT_ALL_UNPACKED : EXTRACT_SOME_FAILED;
}
