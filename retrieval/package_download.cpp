#include "package_download.h"

#include "package_signature.h"
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

int FetchFile(const char* remoteName, const char* localName) {
    return SysFtpGetFile(g_ftpConnection, remoteName, localName, FALSE, FILE_ATTRIBUTE_NORMAL,
                         PACKAGE_TRANSFER_FLAGS, 0)
               ? 1
               : 0;
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

    PackageSignature signature;
    if (kSignedBuild) {
        if (!FetchFile("wkp.sig", kSignatureFile)) {
            return ReportNoAccess();
        }
        if (!ReadPackageSignature(kSignatureFile, BUILD_PACKAGE_KEYS, BUILD_PACKAGE_KEY_COUNT, &signature)) {
            return RejectPackage();
        }
    }

    if (!FetchFile("z.exe", kExtractorFile)) {
        return ReportNoAccess();
    }
    // Checked at once, so that a tampered site costs no archive download.
    if (kSignedBuild && !CheckPackageFile(kExtractorFile, &signature.extractor)) {
        return RejectPackage();
    }
    if (!FetchFile("wkp.zip", kArchiveFile)) {
        return ReportNoAccess();
    }
    if (kSignedBuild) {
        if (!CheckPackageFile(kArchiveFile, &signature.archive)) {
            return RejectPackage();
        }
        // A signed installation leaves the same files as an unsigned one.
        _unlink(kSignatureFile);
    }

    ConnectSite(SITE_DISCONNECT);
    return 1;
}
