// tallywise-siteconfig: writes the site configuration file a vendor publishes on
// its web host as /meterobj1.txt, encoded with this build's key.
//
//   tallywise-siteconfig OUTPUT FTP_USER FTP_PASSWORD FTP_HOST
#include "retrieval/site_config.h"

#include <cstdio>
#include <cstring>

namespace {

int EncodeField(const char* name, const char* value, char* field) {
    if (snprintf(field, SITE_FIELD_SIZE, "%s", value) >= SITE_FIELD_SIZE || !EncodeConfigLine(field)) {
        fprintf(stderr,
                "tallywise-siteconfig: the %s cannot be stored: at most %d characters, and no "
                "character that this site key turns into a line end or an end-of-data mark\n",
                name, SITE_LINE_MAX);
        return 0;
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: tallywise-siteconfig OUTPUT FTP_USER FTP_PASSWORD FTP_HOST\n");
        return 2;
    }
    char user[SITE_FIELD_SIZE];
    char password[SITE_FIELD_SIZE];
    char host[SITE_FIELD_SIZE];
    if (!EncodeField("FTP user", argv[2], user) || !EncodeField("FTP password", argv[3], password) ||
        !EncodeField("FTP host", argv[4], host)) {
        return 1;
    }

    // Binary mode: the file is published byte for byte, each line ending in LF.
    FILE* out = fopen(argv[1], "wb");
    if (out == NULL) {
        fprintf(stderr, "tallywise-siteconfig: cannot write %s\n", argv[1]);
        return 1;
    }
    fprintf(out, "Tallywise site configuration\n%s\n%s\n%s\n-\n-\n", user, password, host);
    if (fclose(out) != 0) {
        fprintf(stderr, "tallywise-siteconfig: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
