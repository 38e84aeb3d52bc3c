// tallywise-siteconfig: writes the site configuration file a vendor publishes on
// its web host as /meterobj1.txt, encoded with this build's key.
//
//   tallywise-siteconfig OUTPUT FTP_USER FTP_PASSWORD FTP_HOST
#include "site_config_file.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: tallywise-siteconfig OUTPUT FTP_USER FTP_PASSWORD FTP_HOST\n");
        return 2;
    }
    char text[SITE_CONFIG_FILE_MAX];
    const char* field = "";
    int length = ComposeSiteConfigFile(argv[2], argv[3], argv[4], text, &field);
    if (length == 0) {
        fprintf(stderr, "tallywise-siteconfig: the %s cannot be stored: %s\n", field, SiteConfigValueRule());
        return 1;
    }

    // Binary mode: the file is published byte for byte, each line ending in LF.
    FILE* out = fopen(argv[1], "wb");
    if (out == NULL) {
        fprintf(stderr, "tallywise-siteconfig: cannot write %s\n", argv[1]);
        return 1;
    }
    size_t written = fwrite(text, 1, static_cast<size_t>(length), out);
    if (fclose(out) != 0 || written != static_cast<size_t>(length)) {
        fprintf(stderr, "tallywise-siteconfig: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
