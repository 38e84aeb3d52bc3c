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

// Returns 1 on success, 0 on failure (after its message and a 4 s pause).
// Any mode other than 1 and 3 behaves as SITE_RECONNECT.
int ConnectSite(short mode);

// One attempt at copying "\Kestrow\z.exe" and "\Kestrow\wkp.zip" from the FTP
// server onto the current drive. Returns 1 when both arrived, else 0.
short DownloadPackage();
