#include "package_download.h"

#include "package_signature.h"
#include "package_transfer.h"
#include "platform/platform.h"
#include "site_config.h"
#include "site_values.h"
#include "web_fetch.h"

#include <io.h>
#include <string.h>

HINTERNET g_ftpConnection = NULL;

namespace {

const DWORD kLoginRetryMs = 4000;
const int kDirectorySize = 100;

// A build with keys fetches and checks the signature file before anything it
// vouches for; a build without keys never touches it.
const bool kSignedBuild = BUILD_PACKAGE_KEY_COUNT > 0;
const char kSignatureFile[] = "\\Kestrow\\wkp.sig";
const char kExtractorFile[] = "\\Kestrow\\z.exe";
const char kArchiveFile[] = "\\Kestrow\\wkp.zip";

short ReportNoAccess() {
    SysPrint("Unable to access " TALLYWISE_WEB_HOST "...check your internet connection\n");
    return 0;
}

// Streams a file from its first byte over what is there. As a whole-file
// transfer would, a file that did not arrive whole is not left behind.
int FetchFile(const char* remoteName, const char* localName) {
    HANDLE file = CreateFileA(localName, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    Transfer transfer = {remoteName, file, NULL, 0, 0, 0, NULL};
    int result = ReceiveFile(g_ftpConnection, &transfer);
    CloseHandle(file);
    if (result != TRANSFER_DONE) {
        DeleteFileA(localName);
        return 0;
    }
    return 1;
}

// Nothing unverified may stay to be run or unpacked: the whole package goes,
// and the next attempt fetches it afresh (a site half-way through an upload
// heals by itself).
short RejectPackage() {
    _unlink(kSignatureFile);
    _unlink(kExtractorFile);
    _unlink(kArchiveFile);
    SysPrint("The downloaded Tallywise files failed the signature check and were deleted\n");
    ConnectSite(SITE_DISCONNECT);
    return 0;
}

// Whether the wkp.sig kept from an earlier attempt is byte for byte `text`.
int SameAsKeptSignature(const char* text, DWORD size) {
    char kept[PACKAGE_SIGNATURE_MAX + 1];
    HANDLE file = CreateFileA(kSignatureFile, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD got = 0;
    int read = ReadFile(file, kept, sizeof kept, &got, NULL);
    CloseHandle(file);
    return read && got == size && memcmp(kept, text, size) == 0 ? 1 : 0;
}

int KeepSignature(const char* text, DWORD size) {
    HANDLE file =
        CreateFileA(kSignatureFile, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD written = 0;
    int ok = WriteFile(file, text, size, &written, NULL) && written == size;
    return CloseHandle(file) && ok ? 1 : 0;
}

// Hashes the first `size` bytes of the file already in place.
int HashExisting(HANDLE file, unsigned long long size, PackageHash* hash) {
    char chunk[65536];
    while (size > 0) {
        DWORD want = size < sizeof chunk ? static_cast<DWORD>(size) : static_cast<DWORD>(sizeof chunk);
        DWORD got = 0;
        if (!ReadFile(file, chunk, want, &got, NULL) || got != want || !AddToPackageHash(hash, chunk, got)) {
            return 0;
        }
        size -= got;
    }
    return 1;
}

// Once a server has ignored a restart mark in this run, that file comes whole.
int g_restartIgnored[2] = {0, 0};

enum { FILE_VERIFIED = 1, FILE_CUT = 0, FILE_REJECTED = -1 };

// Brings one signed file to its signed size and hash: a complete file stays, a
// shorter one continues where it stopped, anything else starts afresh. The
// hash runs as the bytes arrive, carried over those already there.
int FetchSignedFile(const char* remoteName, const char* localName, const PackageFileEntry* entry, int index) {
    PackageHash hash;
    if (!BeginPackageHash(&hash)) {
        return FILE_CUT;
    }
    HANDLE file = CreateFileA(localName, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        EndPackageHash(&hash, NULL);
        return FILE_CUT;
    }
    LARGE_INTEGER length;
    unsigned long long have =
        GetFileSizeEx(file, &length) ? static_cast<unsigned long long>(length.QuadPart) : 0;
    if (have > entry->size || (have > 0 && g_restartIgnored[index]) || !HashExisting(file, have, &hash)) {
        have = 0;
    }
    int resumed = have > 0 && have < entry->size;
    if (resumed && !RequestRestart(g_ftpConnection, have)) {
        have = 0;  // the server will not restart: from the first byte
        resumed = 0;
    }
    if (have == 0) {
        EndPackageHash(&hash, NULL);
        if (!BeginPackageHash(&hash)) {
            CloseHandle(file);
            return FILE_CUT;
        }
        LARGE_INTEGER start = {};
        SetFilePointerEx(file, start, NULL, FILE_BEGIN);
        SetEndOfFile(file);
    }

    Transfer transfer = {remoteName, file, NULL, 0, have, entry->size, &hash};
    int result = have == entry->size ? TRANSFER_DONE : ReceiveFile(g_ftpConnection, &transfer);
    CloseHandle(file);
    PackageFileEntry found;
    found.size = transfer.received;
    int hashed = EndPackageHash(&hash, found.sha256);
    if (result == TRANSFER_TOO_LONG && resumed) {
        // More than the rest came: the server sent the file from its start.
        g_restartIgnored[index] = 1;
        DeleteFileA(localName);
        return FILE_CUT;
    }
    if (result == TRANSFER_FAILED) {
        return FILE_CUT;  // what arrived stays, for the next attempt to continue
    }
    if (result == TRANSFER_TOO_LONG || !hashed || found.size != entry->size ||
        memcmp(found.sha256, entry->sha256, PACKAGE_HASH_BYTES) != 0) {
        return FILE_REJECTED;
    }
    return FILE_VERIFIED;
}

// The signature file comes first, into memory. Files kept from an attempt
// under another wkp.sig go first; a changed release is never mixed with them.
short DownloadSignedPackage() {
    char text[PACKAGE_SIGNATURE_MAX + 1];
    Transfer transfer = {"wkp.sig", INVALID_HANDLE_VALUE, text, sizeof text, 0, 0, NULL};
    int received = ReceiveFile(g_ftpConnection, &transfer);
    if (received == TRANSFER_FAILED) {
        return ReportNoAccess();
    }
    DWORD size = static_cast<DWORD>(transfer.received);
    PackageSignature signature;
    if (received == TRANSFER_TOO_LONG || !ParsePackageSignature(text, static_cast<int>(size), &signature) ||
        VerifyPackageSignature(&signature, BUILD_PACKAGE_KEYS, BUILD_PACKAGE_KEY_COUNT) == 0) {
        return RejectPackage();
    }
    if (!SameAsKeptSignature(text, size)) {
        _unlink(kExtractorFile);
        _unlink(kArchiveFile);
        g_restartIgnored[0] = 0;
        g_restartIgnored[1] = 0;
        if (!KeepSignature(text, size)) {
            return ReportNoAccess();
        }
    }
    // z.exe is checked before the archive is fetched: a tampered site costs no archive download.
    int result = FetchSignedFile("z.exe", kExtractorFile, &signature.extractor, 0);
    if (result == FILE_VERIFIED) {
        result = FetchSignedFile("wkp.zip", kArchiveFile, &signature.archive, 1);
    }
    if (result == FILE_CUT) {
        return ReportNoAccess();
    }
    if (result == FILE_REJECTED) {
        return RejectPackage();
    }
    // A signed installation leaves the same files as an unsigned one.
    _unlink(kSignatureFile);
    ConnectSite(SITE_DISCONNECT);
    return 1;
}

}  // namespace

void EndDirectoryWithSlash(char* directory, size_t size) {
    size_t length = strlen(directory);
    if (length > 0 && directory[length - 1] == '/') {
        return;
    }
    if (length + 2 <= size) {
        directory[length] = '/';
        directory[length + 1] = '\0';
    }
}

int ConnectSite(short mode) {
    if (mode == SITE_LOAD_AND_CONNECT) {
        LoadSiteConfig();
    }

    if (g_internetHandle != NULL) {
        if (g_ftpConnection != NULL) {
            SysInternetCloseHandle(g_ftpConnection);
            g_ftpConnection = NULL;
        }
        CloseInternetSession();
    }

    if (mode == SITE_DISCONNECT) {
        return 1;
    }

    g_internetHandle = SysInternetOpen(FTP_SESSION_AGENT, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (g_internetHandle == NULL) {
        SysPrint("You Are not Connected to the Internet\n");
        SysSleep(kLoginRetryMs);
        return 0;
    }

    g_ftpConnection = SysInternetConnect(g_internetHandle, g_siteConfig.ftpHost, INTERNET_DEFAULT_FTP_PORT,
                                         g_siteConfig.ftpUser, g_siteConfig.ftpPassword, INTERNET_SERVICE_FTP,
                                         INTERNET_FLAG_PASSIVE, 0);
    if (g_ftpConnection == NULL) {
        SysPrint("You Are not Connected to the Internet\n");
        CloseInternetSession();
        SysSleep(kLoginRetryMs);
        return 0;
    }
    return 1;
}

short DownloadPackage() {
    if (!ConnectSite(SITE_LOAD_AND_CONNECT)) {
        SysPrint("You are NOT ONLINE\n");
        return 0;
    }
    ConnectSite(SITE_RECONNECT);

    char directory[kDirectorySize];
    memset(directory, 0, sizeof directory);
    DWORD length = sizeof directory;
    if (!SysFtpGetCurrentDirectory(g_ftpConnection, directory, &length)) {
        return ReportNoAccess();
    }
    directory[sizeof directory - 1] = '\0';
    EndDirectoryWithSlash(directory, sizeof directory);
    if (!SysFtpSetCurrentDirectory(g_ftpConnection, directory)) {
        return ReportNoAccess();
    }

    if (kSignedBuild) {
        return DownloadSignedPackage();
    }
    if (!FetchFile("z.exe", kExtractorFile) || !FetchFile("wkp.zip", kArchiveFile)) {
        return ReportNoAccess();
    }
    ConnectSite(SITE_DISCONNECT);
    return 1;
}
