// tallywise-sitecheck: checks a distribution site the way the installer uses it,
// one step a line, without waiting or retrying. Exit status 0 when every step
// passed; otherwise it names the first step that failed.
//
//   tallywise-sitecheck [--no-archive]
//
// It fetches the site configuration from the web host this build names, decodes
// the FTP account, logs in, enters the login directory, looks for z.exe and
// wkp.zip and (unless --no-archive) downloads the archive to a temporary folder
// to look inside it. A build with package keys also checks wkp.sig: its form,
// its signature and (unless --no-archive) that both files match it.
#include "archive_check.h"
#include "retrieval/package_download.h"
#include "retrieval/package_signature.h"
#include "retrieval/site_config.h"
#include "retrieval/web_fetch.h"
#include "site_values.h"

#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstring>

namespace {

const char kConfigUrl[] = TALLYWISE_CONFIG_URL;

int Pass(const char* step, const char* detail) {
    printf("ok     %-14s %s\n", step, detail);
    return 1;
}

int Fail(const char* step, const char* detail) {
    printf("FAILED %-14s %s\n", step, detail);
    printf("site check failed at step: %s\n", step);
    return 0;
}

// A file name of this process in the temporary folder; 0 when none fits.
int TemporaryPath(char* path, size_t size, const char* extension) {
    char folder[MAX_PATH];
    DWORD length = GetTempPathA(sizeof folder, folder);
    if (length == 0 || length >= sizeof folder) {
        return 0;
    }
    int written = snprintf(path, size, "%stallywise-sitecheck-%lu.%s", folder,
                           static_cast<unsigned long>(GetCurrentProcessId()), extension);
    return written > 0 && static_cast<size_t>(written) < size ? 1 : 0;
}

// The HTTP status of the configuration URL, asked with the installer's agent and flags.
DWORD ConfigStatus() {
    HINTERNET internet = InternetOpenA(FETCH_AGENT, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (internet == NULL) {
        return 0;
    }
    DWORD status = 0;
    HINTERNET request = InternetOpenUrlA(internet, kConfigUrl, NULL, 0, FETCH_FLAGS_VENDOR, 0);
    if (request != NULL) {
        DWORD size = sizeof status;
        if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, NULL)) {
            status = 0;
        }
        InternetCloseHandle(request);
    }
    InternetCloseHandle(internet);
    return status;
}

int CheckConfiguration() {
    char detail[512];
    DWORD status = ConfigStatus();
    char body[SITE_CONFIG_BYTES];
    snprintf(body, sizeof body, "%s", kConfigUrl);
    int size = FetchUrl(body, SITE_CONFIG_BYTES);
    if (size == 0) {
        snprintf(detail, sizeof detail, "%s could not be read (status %lu)", kConfigUrl,
                 static_cast<unsigned long>(status));
        return Fail("configuration", detail);
    }
    if (status < 200 || status > 299) {
        snprintf(detail, sizeof detail,
                 "%s answers status %lu: the installer would read that page as the site configuration",
                 kConfigUrl, static_cast<unsigned long>(status));
        return Fail("configuration", detail);
    }
    snprintf(detail, sizeof detail, "%s: status %lu, %d bytes", kConfigUrl,
             static_cast<unsigned long>(status), size);
    Pass("configuration", detail);

    char path[MAX_PATH];
    if (!TemporaryPath(path, sizeof path, "txt")) {
        return Fail("account", "no temporary folder for the stored copy");
    }
    memset(&g_siteConfig, 0, sizeof g_siteConfig);
    if (!StoreAndReadSiteConfig(path, body, size)) {
        return Fail("account", "the stored copy could not be read back");
    }
    if (g_siteConfig.ftpUser[0] == '\0' || g_siteConfig.ftpPassword[0] == '\0' ||
        g_siteConfig.ftpHost[0] == '\0') {
        return Fail("account",
                    "lines 2 to 4 must hold the encoded user, password and host, each ending in a line end");
    }
    snprintf(detail, sizeof detail, "user %s, host %s (password not shown)", g_siteConfig.ftpUser,
             g_siteConfig.ftpHost);
    return Pass("account", detail);
}

int CheckFile(HINTERNET connection, const char* name) {
    char detail[256];
    WIN32_FIND_DATAA found;
    HINTERNET search = FtpFindFirstFileA(connection, name, &found, INTERNET_FLAG_RELOAD, 0);
    if (search == NULL) {
        snprintf(detail, sizeof detail, "not found in the login directory (error %lu)",
                 static_cast<unsigned long>(GetLastError()));
        return Fail(name, detail);
    }
    InternetCloseHandle(search);
    unsigned long long size =
        (static_cast<unsigned long long>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    snprintf(detail, sizeof detail, "present, %llu bytes", size);
    return Pass(name, detail);
}

// Reads the archive back as z.exe will: every entry, its data, its name and the layout.
int CheckArchiveContents(const char* path) {
    wchar_t widePath[MAX_PATH];
    char problem[512];
    ArchiveSummary summary;
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, MAX_PATH) == 0) {
        return Fail("archive", "the downloaded copy cannot be opened");
    }
    if (!CheckPackageArchive(widePath, &summary, problem, sizeof problem)) {
        return Fail("archive", problem);
    }
    char detail[160];
    snprintf(
        detail, sizeof detail,
        "holds Kestrow/Tallywise.exe and the Tallywise/ folder; %llu files, %llu bytes unpacked, all intact",
        summary.files, summary.bytes);
    return Pass("archive", detail);
}

// Downloads a package file to a temporary path; 0 after reporting the failure.
int DownloadToTemporary(HINTERNET connection, const char* name, const char* step, char* path, size_t size) {
    if (!TemporaryPath(path, size, name)) {
        return Fail(step, "no temporary folder for the download");
    }
    if (!FtpGetFileA(connection, name, path, FALSE, FILE_ATTRIBUTE_NORMAL, PACKAGE_TRANSFER_FLAGS, 0)) {
        char detail[96];
        snprintf(detail, sizeof detail, "%s: download failed (error %lu)", name,
                 static_cast<unsigned long>(GetLastError()));
        return Fail(step, detail);
    }
    return 1;
}

// The downloaded file matches its line of wkp.sig.
int CheckSignedFile(const char* path, const char* name, const PackageFileEntry* entry) {
    char detail[256];
    PackageFileEntry found;
    if (!HashPackageFile(path, &found)) {
        snprintf(detail, sizeof detail, "the downloaded %s cannot be read", name);
        return Fail("signature", detail);
    }
    if (found.size != entry->size || memcmp(found.sha256, entry->sha256, PACKAGE_HASH_BYTES) != 0) {
        snprintf(detail, sizeof detail, "%s does not match wkp.sig: %llu bytes%s, wkp.sig says %llu bytes",
                 name, found.size, found.size == entry->size ? " of other content" : "", entry->size);
        return Fail("signature", detail);
    }
    snprintf(detail, sizeof detail, "%s matches wkp.sig", name);
    return Pass("signature", detail);
}

// Fetches wkp.sig and checks its form and its signature against this build's keys.
int CheckSignatureFile(HINTERNET connection, PackageSignature* signature) {
    char path[MAX_PATH];
    if (!DownloadToTemporary(connection, "wkp.sig", "signature", path, sizeof path)) {
        return 0;
    }
    int wellFormed = LoadPackageSignature(path, signature);
    DeleteFileA(path);
    if (!wellFormed) {
        return Fail("signature",
                    "wkp.sig is not well formed: four lines (the header, z.exe, wkp.zip, signature), each "
                    "ending in one LF, lower-case hex, at most 1024 bytes");
    }
    int signer = VerifyPackageSignature(signature, BUILD_PACKAGE_KEYS, BUILD_PACKAGE_KEY_COUNT);
    char detail[128];
    if (signer == 0) {
        snprintf(detail, sizeof detail, "wkp.sig is not signed by any of this build's %d key(s)",
                 BUILD_PACKAGE_KEY_COUNT);
        return Fail("signature", detail);
    }
    snprintf(detail, sizeof detail, "wkp.sig well formed, signed by key %d of %d", signer,
             BUILD_PACKAGE_KEY_COUNT);
    return Pass("signature", detail);
}

// With a signature, both files are downloaded and must match it first.
int CheckArchive(HINTERNET connection, const PackageSignature* signature) {
    char path[MAX_PATH];
    if (signature != NULL) {
        if (!DownloadToTemporary(connection, "z.exe", "signature", path, sizeof path)) {
            return 0;
        }
        int matches = CheckSignedFile(path, "z.exe", &signature->extractor);
        DeleteFileA(path);
        if (!matches) {
            return 0;
        }
    }
    if (!DownloadToTemporary(connection, "wkp.zip", "archive", path, sizeof path)) {
        return 0;
    }
    int result = (signature == NULL || CheckSignedFile(path, "wkp.zip", &signature->archive)) &&
                 CheckArchiveContents(path);
    DeleteFileA(path);
    return result;
}

int CheckFtp(bool downloadArchive) {
    char detail[512];
    HINTERNET internet = InternetOpenA(FTP_SESSION_AGENT, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (internet == NULL) {
        return Fail("ftp login", "no internet session");
    }
    HINTERNET connection =
        InternetConnectA(internet, g_siteConfig.ftpHost, INTERNET_DEFAULT_FTP_PORT, g_siteConfig.ftpUser,
                         g_siteConfig.ftpPassword, INTERNET_SERVICE_FTP, INTERNET_FLAG_PASSIVE, 0);
    int ok = 0;
    if (connection == NULL) {
        snprintf(detail, sizeof detail, "%s:21 as %s refused or unreachable (error %lu)",
                 g_siteConfig.ftpHost, g_siteConfig.ftpUser, static_cast<unsigned long>(GetLastError()));
        Fail("ftp login", detail);
    } else {
        snprintf(detail, sizeof detail, "%s:21 as %s, passive mode", g_siteConfig.ftpHost,
                 g_siteConfig.ftpUser);
        Pass("ftp login", detail);

        char directory[100] = "";
        DWORD length = sizeof directory;
        if (!FtpGetCurrentDirectoryA(connection, directory, &length)) {
            Fail("login directory", "the server does not report its login directory");
        } else {
            directory[sizeof directory - 1] = '\0';
            EndDirectoryWithSlash(directory, sizeof directory);
            if (!FtpSetCurrentDirectoryA(connection, directory)) {
                snprintf(detail, sizeof detail, "%s cannot be entered", directory);
                Fail("login directory", detail);
            } else {
                Pass("login directory", directory);
                PackageSignature signature;
                bool signedBuild = BUILD_PACKAGE_KEY_COUNT > 0;
                ok = CheckFile(connection, "z.exe") && CheckFile(connection, "wkp.zip") &&
                     (!signedBuild || CheckSignatureFile(connection, &signature)) &&
                     (!downloadArchive || CheckArchive(connection, signedBuild ? &signature : NULL));
            }
        }
        InternetCloseHandle(connection);
    }
    InternetCloseHandle(internet);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    bool downloadArchive = true;
    if (argc == 2 && strcmp(argv[1], "--no-archive") == 0) {
        downloadArchive = false;
    } else if (argc != 1) {
        fprintf(stderr, "usage: tallywise-sitecheck [--no-archive]\n");
        return 2;
    }
    if (BUILD_PACKAGE_KEY_COUNT > 0) {
        printf("Checking the Tallywise distribution site of %s (packages signed by one of %d key(s))\n",
               TALLYWISE_WEB_HOST, BUILD_PACKAGE_KEY_COUNT);
    } else {
        printf("Checking the Tallywise distribution site of %s (this build checks no package signatures)\n",
               TALLYWISE_WEB_HOST);
    }
    if (!CheckConfiguration() || !CheckFtp(downloadArchive)) {
        return 1;
    }
    printf("site check passed\n");
    return 0;
}
