// Logging in to the vendor's FTP server and copying the package into the install folder.
#pragma once

#include <windows.h>
#include <wininet.h>

// The FTP connection of the last login, or NULL. A failed attempt may leave one
// here; the next login overwrites it.
extern HINTERNET g_ftpConnection;

enum {
    SITE_LOAD_AND_CONNECT = 1,  // refresh the site configuration, then log in
    SITE_RECONNECT = 2,         // log out if logged in, then log in again
    SITE_DISCONNECT = 3         // log out
};

// The agent of the sessions the FTP login opens.
const char FTP_SESSION_AGENT[] = "TallywiseInstallation";

// How the package files are fetched: binary, past any cache, overwriting local files.
const DWORD PACKAGE_TRANSFER_FLAGS = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                     INTERNET_FLAG_RESYNCHRONIZE | FTP_TRANSFER_TYPE_UNKNOWN;

// Appends "/" to a login directory unless it ends in one; a text that leaves no
// room in its buffer of `size` bytes is left as it is.
void EndDirectoryWithSlash(char* directory, size_t size);

// Returns 1 on success, 0 on failure (after its message and a 4 s pause).
// Any mode other than 1 and 3 behaves as SITE_RECONNECT.
int ConnectSite(short mode);

// One attempt at copying "\Kestrow\z.exe" and "\Kestrow\wkp.zip" from the FTP
// server onto the current drive. Returns 1 when both arrived, else 0.
short DownloadPackage();
