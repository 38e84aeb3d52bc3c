// The site configuration: where the FTP account comes from, and its file format.
//
// The web host serves six text lines ending in LF or CR LF. Lines 2, 3 and 4 hold
// the FTP user, password and host, each byte stored as (byte + key) mod 256; the
// other lines are free text. Only the first 1000 bytes count, and each line may
// hold at most 126 characters before its line end.
#pragma once

const int SITE_FIELD_SIZE = 128;
const int SITE_LINE_MAX = SITE_FIELD_SIZE - 2;  // characters before the line end
const int SITE_CONFIG_BYTES = 1000;

struct SiteConfig {
    char ftpUser[SITE_FIELD_SIZE];
    char ftpPassword[SITE_FIELD_SIZE];
    char ftpHost[SITE_FIELD_SIZE];
};

// The account of the last load; fields a load did not reach keep their contents.
extern SiteConfig g_siteConfig;

// Fetches the configuration (retrying every 5 s until the web host answers),
// stores it in "\Kestrow\meterobj.txt" on the current drive, reads the account
// from it and deletes it again.
void LoadSiteConfig();

// Stores a fetched body as `path`, reads the account from it into g_siteConfig
// and deletes the file. Returns 1 when the stored copy could be read, else 0.
int StoreAndReadSiteConfig(const char* path, const char* body, int size);

// Decodes a NUL-terminated line in place.
void DecodeConfigLine(char* text);

// Encodes a NUL-terminated line in place. Returns 1, or 0 (text unchanged) when the
// line cannot travel in the file: too long, or a byte that would encode to NUL,
// LF or the end-of-data mark 0x1A, or a last byte that would join the line end.
int EncodeConfigLine(char* text);

// Writes `size` bytes at position size * (index - 1) of `path` without truncating
// it. Returns the number of bytes written, or -1.
int WriteFileRecord(const char* path, const char* data, int index, int size);
