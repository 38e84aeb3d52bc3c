#include "package_transfer.h"

#include "package_download.h"
#include "platform/compose.h"
#include "platform/platform.h"

#include <string.h>

namespace {

const DWORD kChunk = 65536;
const DWORD kProgressEveryMs = 250;
const int kProgressWidth = 64;

// The last reply of the control connection begins with `code`.
int LastReplyIs(const char* code) {
    char reply[256] = "";
    DWORD error = 0;
    DWORD length = sizeof reply;
    if (!SysInternetGetLastResponseInfo(&error, reply, &length)) {
        return 0;
    }
    reply[sizeof reply - 1] = '\0';
    // A multi-line reply ends in the line that carries the final code.
    const char* line = reply;
    for (const char* next = strchr(line, '\n'); next != NULL && next[1] != '\0'; next = strchr(line, '\n')) {
        line = next + 1;
    }
    return strncmp(line, code, 3) == 0 && (line[3] == ' ' || line[3] == '\0' || line[3] == '\r') ? 1 : 0;
}

// "wkp.zip  45.2 MB of 108.9 MB  42%", or without the total when it is not known.
void ShowProgress(const Transfer* transfer, int* shownLength) {
    char line[kProgressWidth + 2];
    unsigned long tenths = static_cast<unsigned long>(transfer->received / 100000);
    int fits = 0;
    if (transfer->expected > 0) {
        unsigned long totalTenths = static_cast<unsigned long>(transfer->expected / 100000);
        unsigned long percent = static_cast<unsigned long>(transfer->received * 100 / transfer->expected);
        fits = ComposeText(line, sizeof line, "\r%s  %lu.%lu MB of %lu.%lu MB  %lu%%", transfer->remoteName,
                           tenths / 10, tenths % 10, totalTenths / 10, totalTenths % 10, percent);
    } else {
        fits = ComposeText(line, sizeof line, "\r%s  %lu.%lu MB", transfer->remoteName, tenths / 10,
                           tenths % 10);
    }
    if (!fits) {
        return;
    }
    int length = static_cast<int>(strlen(line));
    // Blank out what a longer earlier line left behind.
    while (length < *shownLength + 1 && length < kProgressWidth + 1) {
        line[length++] = ' ';
    }
    SysWriteConsole(line, static_cast<DWORD>(length));
    *shownLength = length - 1;
}

void EraseProgress(int shownLength) {
    char line[kProgressWidth + 3];
    line[0] = '\r';
    memset(line + 1, ' ', static_cast<size_t>(shownLength));
    line[shownLength + 1] = '\r';
    SysWriteConsole(line, static_cast<DWORD>(shownLength + 2));
}

// Puts one chunk in place: the file or the memory, and the hash.
int Store(Transfer* transfer, const char* data, DWORD size) {
    // Only a build with keys hashes, and only it links the platform's cryptography.
    if (BUILD_PACKAGE_KEY_COUNT > 0 && transfer->hash != NULL &&
        !AddToPackageHash(transfer->hash, data, size)) {
        return 0;
    }
    if (transfer->file == INVALID_HANDLE_VALUE) {
        memcpy(transfer->memory + transfer->received, data, size);
        return 1;
    }
    DWORD written = 0;
    return WriteFile(transfer->file, data, size, &written, NULL) && written == size ? 1 : 0;
}

}  // namespace

int ReceiveFile(HINTERNET connection, Transfer* transfer) {
    HINTERNET remote =
        SysFtpOpenFile(connection, transfer->remoteName, GENERIC_READ, PACKAGE_TRANSFER_FLAGS, 0);
    if (remote == NULL) {
        return TRANSFER_FAILED;
    }
    // The line only ever goes to a console: a pipe or a file gets the messages alone.
    int console = SysOutputIsConsole();
    DWORD lastShown = SysTickCount();
    int shownLength = 0;
    char chunk[kChunk];
    DWORD got = 0;
    int result = TRANSFER_DONE;
    for (;;) {
        if (!SysInternetReadFile(remote, chunk, kChunk, &got)) {
            result = TRANSFER_FAILED;  // the data connection was reset
            break;
        }
        if (got == 0) {
            break;
        }
        unsigned long long room = transfer->file == INVALID_HANDLE_VALUE ? transfer->memorySize
                                  : transfer->expected > 0               ? transfer->expected
                                                                         : ~0ull;
        if (got > room - transfer->received) {
            result = TRANSFER_TOO_LONG;
            break;
        }
        if (!Store(transfer, chunk, got)) {
            result = TRANSFER_FAILED;
            break;
        }
        transfer->received += got;
        if (console && SysTickCount() - lastShown >= kProgressEveryMs) {
            ShowProgress(transfer, &shownLength);
            lastShown = SysTickCount();
        }
    }
    SysInternetCloseHandle(remote);
    if (shownLength > 0) {
        EraseProgress(shownLength);
    }
    // A data connection closed cleanly looks like the end of the file: only the
    // server's 226 says that the whole file came.
    if (result == TRANSFER_DONE && !LastReplyIs("226")) {
        result = TRANSFER_FAILED;
    }
    return result;
}

int RequestRestart(HINTERNET connection, unsigned long long offset) {
    char command[40];
    char digits[21];
    FormatDecimal(digits, offset);
    ComposeText(command, sizeof command, "REST %s", digits);
    return SysFtpCommand(connection, FALSE, FTP_TRANSFER_TYPE_BINARY, "TYPE I", 0, NULL) &&
                   SysFtpCommand(connection, FALSE, FTP_TRANSFER_TYPE_BINARY, command, 0, NULL) &&
                   LastReplyIs("350")
               ? 1
               : 0;
}
