// The platform floor for the benchmark: the network and extraction work of one
// installation and nothing else. One configuration GET, one FTP login, the two
// transfers into X:\Kestrow, then the extractor, without pauses or retries.
//
//   bench-floor.exe DRIVE FTP_HOST FTP_USER FTP_PASSWORD
#include "retrieval/web_fetch.h"
#include "site_values.h"

#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 5 || argv[1][0] == '\0') {
        fprintf(stderr, "usage: bench-floor DRIVE FTP_HOST FTP_USER FTP_PASSWORD\n");
        return 2;
    }
    char drive = argv[1][0];
    HINTERNET internet = InternetOpenA(FETCH_AGENT, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    HINTERNET request = internet == NULL
                            ? NULL
                            : InternetOpenUrlA(internet, TALLYWISE_CONFIG_URL, NULL, 0,
                                               INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
    if (request == NULL) {
        fprintf(stderr, "bench-floor: configuration request failed\n");
        return 1;
    }
    char body[1000];
    DWORD got = 0;
    while (InternetReadFile(request, body, sizeof body, &got) && got != 0) {
    }
    InternetCloseHandle(request);

    HINTERNET ftp = InternetConnectA(internet, argv[2], INTERNET_DEFAULT_FTP_PORT, argv[3], argv[4],
                                     INTERNET_SERVICE_FTP, INTERNET_FLAG_PASSIVE, 0);
    char local[32];
    int ok = ftp != NULL;
    const char* names[] = {"z.exe", "wkp.zip"};
    for (const char* name : names) {
        snprintf(local, sizeof local, "%c:\\Kestrow\\%s", drive, name);
        ok = ok && FtpGetFileA(ftp, name, local, FALSE, FILE_ATTRIBUTE_NORMAL,
                               INTERNET_FLAG_RELOAD | FTP_TRANSFER_TYPE_BINARY, 0);
    }
    if (ftp != NULL) {
        InternetCloseHandle(ftp);
    }
    InternetCloseHandle(internet);
    if (!ok) {
        fprintf(stderr, "bench-floor: transfer failed\n");
        return 1;
    }
    char command[128];
    snprintf(command, sizeof command,
             "%c:\\Kestrow\\z.exe -extract -directories -overwrite %c:\\Kestrow\\wkp.zip %c:\\", drive, drive,
             drive);
    return system(command) == 0 ? 0 : 1;
}
