// Streams one file from the FTP server: opened, read in fixed chunks and written
// as it arrives, optionally hashed on the way, with a progress line on a console.
// Complete only when the server confirms the transfer with 226.
#pragma once

#include "package_signature.h"

#include <windows.h>
#include <wininet.h>

enum TransferResult {
    TRANSFER_DONE = 1,
    TRANSFER_FAILED = 0,     // could not be opened, or was cut: what arrived is in place
    TRANSFER_TOO_LONG = -1,  // more bytes came than expected, or than fit: the excess was not stored
};

struct Transfer {
    const char* remoteName;
    HANDLE file;   // where the bytes go, or INVALID_HANDLE_VALUE for `memory`
    char* memory;  // with `memorySize` bytes of room
    DWORD memorySize;
    unsigned long long received;  // bytes in place: on entry those already there (a resume)
    unsigned long long expected;  // the file's whole size, or 0 when it is not known
    PackageHash* hash;            // carried over the bytes already there; NULL for none (always
                                  // none in a build without package keys)
};

int ReceiveFile(HINTERNET connection, Transfer* transfer);

// Asks the server to start the next transfer at `offset`: TYPE I, then REST,
// which must be answered with 350. 1 when it was.
int RequestRestart(HINTERNET connection, unsigned long long offset);
