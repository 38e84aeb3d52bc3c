#include "archive_check.h"

#include "extractor/entry_name.h"
#include "extractor/zip_archive.h"
#include "platform/compose.h"

#include <windows.h>

namespace {

// The files the installer itself writes in \Kestrow: an archive entry of one of
// these names would overwrite them while the installer still needs them.
const wchar_t* const kInstallerFiles[] = {L"z.exe", L"wkp.zip", L"wkp.sig", L"meterobj.txt",
                                          L"Tallywise.exe.lnk"};

int StartsWithFolder(const wchar_t* path, const wchar_t* folder) {
    int length = lstrlenW(folder);
    wchar_t head[16];
    if (length >= 16 || lstrlenW(path) < length) {
        return 0;
    }
    lstrcpynW(head, path, length + 1);
    return lstrcmpiW(head, folder) == 0 && (path[length] == L'\0' || path[length] == L'\\') ? 1 : 0;
}

void ShowName(const wchar_t* name, char* text, int size) {
    if (WideCharToMultiByte(CP_UTF8, 0, name, -1, text, size, NULL, NULL) == 0) {
        text[0] = '\0';
    }
}

struct Scratch {
    ZipArchive archive;
    ZipEntryReader reader;
    unsigned char output[65536];
    wchar_t name[ENTRY_PATH_CAPACITY];
    wchar_t path[ENTRY_PATH_CAPACITY];
    char shown[3 * ENTRY_PATH_CAPACITY];
};

// Streams the entry's data through the size and CRC checks; a ZipDataStatus.
int ReadWhole(Scratch* s, const ZipEntry* entry) {
    int status = ZipEntryStart(&s->archive, entry, &s->reader);
    DWORD got = 0;
    while (status == ZIP_DATA_OK) {
        status = ZipEntryRead(&s->reader, s->output, sizeof s->output, &got);
        if (got == 0) {
            break;
        }
    }
    ZipEntryEnd(&s->reader);
    return status;
}

int CheckEntry(Scratch* s, const ZipEntry* entry, int* application, int* folder, char* problem, size_t size) {
    const char* refusal = DecodeEntryName(entry, s->name, ENTRY_PATH_CAPACITY);
    if (refusal == NULL) {
        refusal = CheckEntryName(s->name, s->path, ENTRY_PATH_CAPACITY);
    } else {
        MultiByteToWideChar(437, 0, entry->name, -1, s->name, ENTRY_PATH_CAPACITY);
    }
    if (refusal == NULL && ZipIsSymbolicLink(entry)) {
        refusal = "a symbolic link";
    }
    ShowName(s->name, s->shown, sizeof s->shown);
    if (refusal != NULL) {
        ComposeText(problem, size, "z.exe would refuse the entry %s: %s", s->shown, refusal);
        return 0;
    }
    int isFolder = ZipIsDirectory(entry);
    if (s->path[0] == L'\0') {
        return 1;  // "./": the destination itself
    }
    const char* misplaced = PackagePathProblem(s->path);
    if (misplaced != NULL) {
        ComposeText(problem, size, "the entry %s %s", s->shown, misplaced);
        return 0;
    }
    if (!isFolder) {
        int status = ReadWhole(s, entry);
        if (status != ZIP_DATA_OK) {
            ComposeText(problem, size, "the entry %s cannot be unpacked: %s", s->shown,
                        status == ZIP_DATA_UNSUPPORTED_METHOD ? ZipMethodName(entry->method)
                                                              : ZipDataStatusText(status));
            return 0;
        }
    }
    *application = *application || (!isFolder && lstrcmpiW(s->path, L"Kestrow\\Tallywise.exe") == 0);
    *folder = *folder || StartsWithFolder(s->path, L"Tallywise");
    return 1;
}

}  // namespace

const char* PackagePathProblem(const wchar_t* path) {
    if (!StartsWithFolder(path, L"Kestrow") && !StartsWithFolder(path, L"Tallywise")) {
        return "would land at the root of the user's drive; only Kestrow\\ and Tallywise\\ may be there";
    }
    for (const wchar_t* file : kInstallerFiles) {
        wchar_t own[32] = L"Kestrow\\";
        lstrcatW(own, file);
        if (lstrcmpiW(path, own) == 0) {
            return "would overwrite a file the installer writes in \\Kestrow";
        }
    }
    return NULL;
}

int CheckPackageArchive(const wchar_t* path, ArchiveSummary* summary, char* problem, size_t size) {
    // Some 200 KB of buffers: on the heap, for callers with small stacks.
    Scratch* s = static_cast<Scratch*>(HeapAlloc(GetProcessHeap(), 0, sizeof(Scratch)));
    if (s == NULL) {
        ComposeText(problem, size, "not enough memory to read wkp.zip");
        return 0;
    }
    summary->entries = 0;
    summary->files = 0;
    summary->bytes = 0;
    int ok = 0;
    int status = ZipOpen(&s->archive, path);
    if (status != ZIP_OK) {
        ComposeText(problem, size, "wkp.zip is %s", ZipArchiveStatusText(status));
    } else {
        int application = 0;
        int folder = 0;
        ZipEntry entry;
        ok = 1;
        while (ok && ZipNextEntry(&s->archive, &entry) == 1) {
            ok = CheckEntry(s, &entry, &application, &folder, problem, size);
            ++summary->entries;
            if (!ZipIsDirectory(&entry)) {
                ++summary->files;
                summary->bytes += entry.size;
            }
        }
        if (ok && (!application || !folder)) {
            ComposeText(problem, size,
                        !application ? "wkp.zip holds no Kestrow/Tallywise.exe"
                                     : "wkp.zip holds no Tallywise/ folder");
            ok = 0;
        }
        ZipClose(&s->archive);
    }
    HeapFree(GetProcessHeap(), 0, s);
    return ok;
}
