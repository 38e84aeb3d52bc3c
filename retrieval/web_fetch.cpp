#include "web_fetch.h"

#include "platform/compose.h"
#include "platform/platform.h"
#include "site_values.h"

#include <string.h>

HINTERNET g_internetHandle = NULL;

void CloseInternetSession() {
    SysInternetCloseHandle(g_internetHandle);
    g_internetHandle = NULL;
}

namespace {

DWORD ChooseFlags(const char* url) {
    if (strstr(url, TALLYWISE_WEB_DOMAIN) != NULL || strstr(url, TALLYWISE_SECOND_DOMAIN) != NULL) {
        return FETCH_FLAGS_VENDOR;
    }
    return FETCH_FLAGS_BASE;
}

}  // namespace

int FetchUrl(char* buffer, int capacity) {
    char url[FETCH_URL_MAX + 1];
    // A longer URL would be cut into another one; refuse it instead.
    if (capacity <= 0 || !ComposeText(url, sizeof url, "%s", buffer)) {
        return 0;
    }

    if (g_internetHandle == NULL) {
        g_internetHandle = SysInternetOpen(FETCH_AGENT, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
        if (g_internetHandle == NULL) {
            return 0;
        }
    }

    HINTERNET request = SysInternetOpenUrl(g_internetHandle, url, NULL, 0, ChooseFlags(url), 0);
    if (request == NULL) {
        return 0;
    }

    memset(buffer, 0, static_cast<size_t>(capacity));
    DWORD total = 0;
    DWORD room = static_cast<DWORD>(capacity);
    DWORD got = 0;
    do {
        got = 0;
        if (!SysInternetReadFile(request, buffer + total, room, &got)) {
            total = 0;
            break;
        }
        // Never trust a count beyond what was asked for.
        if (got > room) {
            got = room;
        }
        total += got;
        room -= got;
    } while (got != 0);

    SysInternetCloseHandle(request);
    CloseInternetSession();
    return static_cast<int>(total);
}
