#include "site_config.h"

#include "platform/compose.h"
#include "platform/platform.h"
#include "site_values.h"
#include "web_fetch.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <stdio.h>
#include <string.h>

SiteConfig g_siteConfig;

namespace {

const char kConfigUrl[] = TALLYWISE_CONFIG_URL;
static_assert(sizeof kConfigUrl <= FETCH_URL_MAX + 1, "the configuration URL must fit FetchUrl's copy");
static_assert(sizeof kConfigUrl <= SITE_CONFIG_BYTES, "the configuration URL must fit the receive buffer");

const char kStoredConfig[] = "\\Kestrow\\meterobj.txt";
const DWORD kFetchRetryMs = 5000;
const unsigned char kKey = TALLYWISE_CONFIG_KEY;

void ReadConfigLines(FILE* file) {
    char unused[SITE_FIELD_SIZE];
    char* areas[6] = {unused, g_siteConfig.ftpUser, g_siteConfig.ftpPassword, g_siteConfig.ftpHost, unused,
                      unused};
    for (int line = 0; line < 6; ++line) {
        if (fgets(areas[line], SITE_FIELD_SIZE, file) == NULL) {
            return;
        }
        char* end = strchr(areas[line], '\n');
        if (end == NULL) {
            return;
        }
        *end = '\0';
        if (areas[line] != unused) {
            DecodeConfigLine(areas[line]);
        }
    }
}

}  // namespace

void LoadSiteConfig() {
    char buffer[SITE_CONFIG_BYTES];
    int size = 0;
    for (;;) {
        ComposeText(buffer, sizeof buffer, "%s", kConfigUrl);
        size = FetchUrl(buffer, SITE_CONFIG_BYTES);
        if (size > 0) {
            break;
        }
        SysPrint("Tallywise Installer cannot access the Brindlecove WebSite\n");
        SysPrint("You may not be connected to the internet\n\n");
        SysSleep(kFetchRetryMs);
    }

    StoreAndReadSiteConfig(kStoredConfig, buffer, size);
}

int StoreAndReadSiteConfig(const char* path, const char* body, int size) {
    // The record write does not truncate: an older, longer copy would leave its
    // tail to be read as part of this account.
    _unlink(path);
    WriteFileRecord(path, body, 1, size);

    FILE* file = fopen(path, "rt");
    int opened = file != NULL ? 1 : 0;
    if (opened) {
        ReadConfigLines(file);
        fclose(file);
    }
    _unlink(path);
    return opened;
}

void DecodeConfigLine(char* text) {
    for (; *text != '\0'; ++text) {
        *text = static_cast<char>(static_cast<unsigned char>(*text) - kKey);
    }
}

int EncodeConfigLine(char* text) {
    size_t length = strlen(text);
    if (length > static_cast<size_t>(SITE_LINE_MAX)) {
        return 0;
    }
    for (size_t i = 0; i < length; ++i) {
        unsigned char encoded = static_cast<unsigned char>(static_cast<unsigned char>(text[i]) + kKey);
        if (encoded == 0x00 || encoded == 0x0A || encoded == 0x1A) {
            return 0;
        }
        // A CR as the last byte would join the LF behind it into one line end.
        if (i + 1 == length && encoded == 0x0D) {
            return 0;
        }
    }
    for (size_t i = 0; i < length; ++i) {
        text[i] = static_cast<char>(static_cast<unsigned char>(text[i]) + kKey);
    }
    return 1;
}

int WriteFileRecord(const char* path, const char* data, int index, int size) {
    int file = _open(path, _O_RDWR | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (file == -1) {
        return -1;
    }
    _lseek(file, static_cast<long>(size) * (index - 1), SEEK_SET);
    int written = _write(file, data, static_cast<unsigned int>(size));
    _close(file);
    return written;
}
