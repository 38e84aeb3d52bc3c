// tallywise-publish: from an application folder laid out as the user's drive
// root will be, a complete site folder for one release.
//
//   tallywise-publish APPLICATION SITE FTP_USER FTP_PASSWORD FTP_HOST [KEY_FILE]
//
// APPLICATION holds Kestrow\Tallywise.exe and a Tallywise\ folder, and nothing
// else at its top level. SITE must not exist or be empty; it receives
//   web\meterobj1.txt   the site configuration, for the web host
//   ftp\z.exe           the project's extractor
//   ftp\wkp.zip         the application, sorted, its times from the files
//   ftp\wkp.sig         with KEY_FILE: the signature (tallywise-sign's key file)
// Everything is checked before anything is written; the archive is read back
// with the extractor's own code before the tool says it is done.
#include "archive_check.h"
#include "extractor/entry_name.h"
#include "package_signer.h"
#include "platform/compose.h"
#include "retrieval/package_signature.h"
#include "site_config_file.h"
#include "zip_writer.h"

#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const int kMaxItems = 262144;
const size_t kNameSpace = 32u << 20;
const int kPath = 4096;
const int kMaxDepth = 64;  // folders within folders; each level takes some 18 KB of stack

struct Item {
    size_t name;  // offset of the UTF-8 name ("Tallywise/data/x.csv", folders end in '/')
    int folder;
    FILETIME modified;
};

struct Catalog {
    Item* items;
    int count;
    char* names;
    size_t used;
};

char* g_names = NULL;  // for the sort's comparison

// Reports why the release is refused or failed; returns 0, "not done", for the callers' checks.
int Refuse(const char* format, ...) __attribute__((format(printf, 1, 2)));
int Refuse(const char* format, ...) {
    va_list args;
    va_start(args, format);
    fputs("tallywise-publish: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    return 0;
}

int ByName(const void* a, const void* b) {
    return strcmp(g_names + static_cast<const Item*>(a)->name, g_names + static_cast<const Item*>(b)->name);
}

// Adds every file and folder below `folder` (whose name in the archive is
// `prefix`) to the catalog; 0 with a message when it cannot.
int Collect(const wchar_t* folder, const char* prefix, Catalog* catalog, int depth) {
    if (depth > kMaxDepth) {
        return Refuse("the folder %s: folders are nested more than %d deep", prefix, kMaxDepth);
    }
    wchar_t pattern[kPath];
    if (_snwprintf(pattern, kPath, L"%ls\\*", folder) >= kPath - 1) {
        return Refuse("the folder %s: its path is too long", prefix);
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return Refuse("the folder %s cannot be read", prefix[0] ? prefix : "APPLICATION_FOLDER");
    }
    int ok = 1;
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) {
            continue;
        }
        char name[3 * MAX_PATH + 2];
        int length = WideCharToMultiByte(CP_UTF8, 0, found.cFileName, -1, name, sizeof name, NULL, NULL);
        int isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        size_t need = strlen(prefix) + static_cast<size_t>(length) + 2;
        if (length == 0 || catalog->count >= kMaxItems || catalog->used + need > kNameSpace) {
            ok = Refuse("the application folder holds too many files or too long names for one archive");
            break;
        }
        Item* item = &catalog->items[catalog->count++];
        item->name = catalog->used;
        item->folder = isFolder;
        item->modified = found.ftLastWriteTime;
        char* text = catalog->names + catalog->used;
        ComposeText(text, need, "%s%s%s", prefix, name, isFolder ? "/" : "");
        catalog->used += strlen(text) + 1;
        if (isFolder) {
            wchar_t child[kPath];
            if (_snwprintf(child, kPath, L"%ls\\%ls", folder, found.cFileName) >= kPath - 1) {
                ok = Refuse("the folder %s: its path is too long", text);
                break;
            }
            ok = Collect(child, text, catalog, depth + 1);  // the names' space never moves
        }
    } while (ok && FindNextFileW(search, &found));
    FindClose(search);
    return ok;
}

// What the installer and the extractor would make of every name: refused
// names, things at the top level, the installer's own files. 0 after a message.
int CheckLayout(const Catalog* catalog) {
    int application = 0;
    int folder = 0;
    for (int i = 0; i < catalog->count; ++i) {
        const char* name = catalog->names + catalog->items[i].name;
        wchar_t wide[ENTRY_PATH_CAPACITY];
        wchar_t path[ENTRY_PATH_CAPACITY];
        if (MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, ENTRY_PATH_CAPACITY) == 0) {
            return Refuse("the name %s is too long", name);
        }
        const char* refusal = CheckEntryName(wide, path, ENTRY_PATH_CAPACITY);
        if (refusal != NULL) {
            return Refuse("the name %s: %s (z.exe would not unpack it)", name, refusal);
        }
        const char* misplaced = PackagePathProblem(path);
        if (misplaced != NULL) {
            return Refuse("%s %s %s", _strnicmp(name, "Kestrow/", 8) == 0 ? "the file" : "the top-level",
                          name, misplaced);
        }
        application =
            application || (!catalog->items[i].folder && strcmp(name, "Kestrow/Tallywise.exe") == 0);
        folder = folder || (catalog->items[i].folder && strcmp(name, "Tallywise/") == 0);
    }
    if (!application) {
        return Refuse("the application folder holds no Kestrow\\Tallywise.exe");
    }
    if (!folder) {
        return Refuse("the application folder holds no Tallywise\\ folder");
    }
    return 1;
}

int IsEmptyOrMissing(const wchar_t* folder) {
    DWORD attributes = GetFileAttributesW(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return 1;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return 0;
    }
    wchar_t pattern[kPath];
    _snwprintf(pattern, kPath, L"%ls\\*", folder);
    pattern[kPath - 1] = L'\0';
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    int empty = 1;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            empty = empty && (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0);
        } while (empty && FindNextFileW(search, &found));
        FindClose(search);
    }
    return empty;
}

int WriteWhole(const wchar_t* path, const void* data, DWORD size) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD written = 0;
    int ok = WriteFile(file, data, size, &written, NULL) && written == size;
    return CloseHandle(file) && ok ? 1 : 0;
}

struct Site {
    wchar_t root[kPath];
    wchar_t web[kPath];
    wchar_t ftp[kPath];
    wchar_t config[kPath];
    wchar_t extractor[kPath];
    wchar_t archive[kPath];
    wchar_t central[kPath];
    wchar_t signature[kPath];
    int createdRoot;
};

int SitePaths(const wchar_t* root, Site* site) {
    int ok = _snwprintf(site->root, kPath, L"%ls", root) < kPath - 32;
    _snwprintf(site->web, kPath, L"%ls\\web", root);
    _snwprintf(site->ftp, kPath, L"%ls\\ftp", root);
    _snwprintf(site->config, kPath, L"%ls\\web\\meterobj1.txt", root);
    _snwprintf(site->extractor, kPath, L"%ls\\ftp\\z.exe", root);
    _snwprintf(site->archive, kPath, L"%ls\\ftp\\wkp.zip", root);
    _snwprintf(site->central, kPath, L"%ls\\ftp\\wkp.zip.central", root);
    _snwprintf(site->signature, kPath, L"%ls\\ftp\\wkp.sig", root);
    return ok;
}

// Takes back what a failed run wrote.
void RemoveSite(const Site* site) {
    DeleteFileW(site->config);
    DeleteFileW(site->extractor);
    DeleteFileW(site->archive);
    DeleteFileW(site->central);
    DeleteFileW(site->signature);
    RemoveDirectoryW(site->web);
    RemoveDirectoryW(site->ftp);
    if (site->createdRoot) {
        RemoveDirectoryW(site->root);
    }
}

// The extractor this tool was built with, carried as a resource.
int WriteExtractor(const wchar_t* path) {
    HRSRC resource = FindResourceW(NULL, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(10));  // RT_RCDATA
    HGLOBAL loaded = resource == NULL ? NULL : LoadResource(NULL, resource);
    const void* data = loaded == NULL ? NULL : LockResource(loaded);
    return data != NULL && WriteWhole(path, data, SizeofResource(NULL, resource));
}

int WriteArchive(const wchar_t* application, const Catalog* catalog, const Site* site,
                 unsigned long long* files, unsigned long long* bytes) {
    ZipWriter writer;
    if (!ZipWriterOpen(&writer, site->archive, site->central)) {
        return Refuse("ftp\\wkp.zip cannot be created");
    }
    *files = 0;
    *bytes = 0;
    for (int i = 0; i < catalog->count; ++i) {
        const Item* item = &catalog->items[i];
        const char* name = catalog->names + item->name;
        const char* problem = "";
        int ok = 0;
        if (item->folder) {
            ok = ZipWriterAddFolder(&writer, name, &item->modified, &problem);
        } else {
            wchar_t relative[kPath];
            wchar_t source[kPath];
            MultiByteToWideChar(CP_UTF8, 0, name, -1, relative, kPath);
            for (wchar_t* c = relative; *c != L'\0'; ++c) {
                *c = *c == L'/' ? L'\\' : *c;
            }
            _snwprintf(source, kPath, L"%ls\\%ls", application, relative);
            source[kPath - 1] = L'\0';
            ok = ZipWriterAddFile(&writer, name, source, &item->modified, &problem);
            WIN32_FILE_ATTRIBUTE_DATA data;
            if (ok && GetFileAttributesExW(source, GetFileExInfoStandard, &data)) {
                *bytes += (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            }
            ++*files;
        }
        if (!ok) {
            ZipWriterAbandon(&writer);
            return Refuse("the file %s: %s", name, problem);
        }
    }
    const char* problem = "";
    if (!ZipWriterFinish(&writer, &problem)) {
        return Refuse("%s", problem);
    }
    return 1;
}

// SHA-256 and size of a file the tool wrote.
int HashWritten(const wchar_t* path, PackageFileEntry* entry) {
    char narrow[kPath];
    return WideCharToMultiByte(CP_ACP, 0, path, -1, narrow, sizeof narrow, NULL, NULL) != 0 &&
                   HashPackageFile(narrow, entry)
               ? 1
               : 0;
}

void PrintEntry(const char* shown, const PackageFileEntry* entry) {
    char hash[2 * PACKAGE_HASH_BYTES + 1];
    char size[21];
    FormatHex(hash, entry->sha256, PACKAGE_HASH_BYTES);
    FormatDecimal(size, entry->size);
    printf("  %-18s %12s bytes  sha256 %s\n", shown, size, hash);
}

void PrintFile(const wchar_t* path, const char* shown) {
    PackageFileEntry entry;
    if (HashWritten(path, &entry)) {
        PrintEntry(shown, &entry);
    }
}

int Publish(const wchar_t* application, const wchar_t* siteRoot, const char* user, const char* password,
            const char* host, const char* keyPath) {
    // Everything that can be refused is refused before anything is written.
    char config[SITE_CONFIG_FILE_MAX];
    const char* field = "";
    int configLength = ComposeSiteConfigFile(user, password, host, config, &field);
    if (configLength == 0) {
        Refuse("the %s cannot be stored: %s", field, SiteConfigValueRule());
        return 1;
    }
    Site site;
    if (!SitePaths(siteRoot, &site)) {
        Refuse("the site folder's path is too long");
        return 1;
    }
    if (!IsEmptyOrMissing(site.root)) {
        Refuse("the site folder exists and is not empty: a release is never written over another");
        return 1;
    }
    DWORD attributes = GetFileAttributesW(application);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        Refuse("the application folder does not exist");
        return 1;
    }
    Catalog catalog;
    catalog.items = static_cast<Item*>(malloc(sizeof(Item) * kMaxItems));
    catalog.names = static_cast<char*>(malloc(kNameSpace));
    catalog.count = 0;
    catalog.used = 0;
    SigningKey key;
    int refused = catalog.items == NULL || catalog.names == NULL
                      ? !Refuse("not enough memory")
                      : !Collect(application, "", &catalog, 0) || !CheckLayout(&catalog);
    if (!refused && keyPath != NULL && !LoadSigningKey(keyPath, &key)) {
        refused = !Refuse("the key file %s: is not a tallywise-sign key file", keyPath);
    }
    if (refused) {
        free(catalog.items);
        free(catalog.names);
        return 1;
    }
    g_names = catalog.names;
    qsort(catalog.items, static_cast<size_t>(catalog.count), sizeof(Item), ByName);

    site.createdRoot = CreateDirectoryW(site.root, NULL) ? 1 : 0;
    unsigned long long files = 0;
    unsigned long long bytes = 0;
    int ok = (CreateDirectoryW(site.web, NULL) && CreateDirectoryW(site.ftp, NULL)) ||
             Refuse("the site folder cannot be written");
    ok = ok && (WriteWhole(site.config, config, static_cast<DWORD>(configLength)) ||
                Refuse("web\\meterobj1.txt cannot be written"));
    ok = ok && (WriteExtractor(site.extractor) || Refuse("ftp\\z.exe cannot be written"));
    ok = ok && WriteArchive(application, &catalog, &site, &files, &bytes);

    // Read back as z.exe will read it.
    ArchiveSummary summary;
    char problem[512] = "";
    if (ok && (!CheckPackageArchive(site.archive, &summary, problem, sizeof problem) ||
               summary.entries != static_cast<unsigned long long>(catalog.count) || summary.files != files ||
               summary.bytes != bytes)) {
        ok = Refuse("%s", problem[0] != '\0' ? problem : "ftp\\wkp.zip does not read back as it was written");
    }
    // Each large file is hashed once, for the signature and the summary alike.
    PackageFileEntry extractor;
    PackageFileEntry archive;
    ok = ok && ((HashWritten(site.extractor, &extractor) && HashWritten(site.archive, &archive)) ||
                Refuse("the package cannot be read back"));
    if (ok && keyPath != NULL) {
        char text[PACKAGE_SIGNATURE_MAX + 1];
        const char* reason = "";
        int length = ComposeSignatureFile(&key, &extractor, &archive, text, &reason);
        ok = (length > 0 && WriteWhole(site.signature, text, static_cast<DWORD>(length))) ||
             Refuse("the key file %s: %s", keyPath, reason);
    }
    if (keyPath != NULL) {
        SecureZeroMemory(key.d, sizeof key.d);
    }
    free(catalog.items);
    free(catalog.names);
    if (!ok) {
        RemoveSite(&site);
        return 1;
    }

    char count[21];
    char total[21];
    FormatDecimal(count, files);
    FormatDecimal(total, bytes);
    printf("Published a Tallywise release: %s files, %s bytes unpacked, %s\n", count, total,
           keyPath != NULL ? "signed" : "not signed");
    PrintFile(site.config, "web\\meterobj1.txt");
    PrintEntry("ftp\\z.exe", &extractor);
    PrintEntry("ftp\\wkp.zip", &archive);
    if (keyPath != NULL) {
        PrintFile(site.signature, "ftp\\wkp.sig");
    }
    printf(
        "wkp.zip read back with the extractor's code: every entry intact, the layout as the installer needs "
        "it\n");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 6 && argc != 7) {
        fprintf(stderr,
                "usage: tallywise-publish APPLICATION_FOLDER SITE_FOLDER FTP_USER FTP_PASSWORD FTP_HOST "
                "[KEY_FILE]\n");
        return 2;
    }
    char values[4][512];
    for (int i = 0; i < 4 && i + 3 < argc; ++i) {
        if (WideCharToMultiByte(CP_ACP, 0, argv[i + 3], -1, values[i], sizeof values[i], NULL, NULL) == 0) {
            Refuse("an argument is too long");
            return 1;
        }
    }
    wchar_t application[kPath];
    wchar_t site[kPath];
    if (GetFullPathNameW(argv[1], kPath, application, NULL) >= static_cast<DWORD>(kPath) ||
        GetFullPathNameW(argv[2], kPath, site, NULL) >= static_cast<DWORD>(kPath)) {
        Refuse("a folder's path is too long");
        return 1;
    }
    for (wchar_t* end = application + wcslen(application); end > application + 3 && end[-1] == L'\\';) {
        *--end = L'\0';
    }
    for (wchar_t* end = site + wcslen(site); end > site + 3 && end[-1] == L'\\';) {
        *--end = L'\0';
    }
    return Publish(application, site, values[0], values[1], values[2], argc == 7 ? values[3] : NULL);
}
