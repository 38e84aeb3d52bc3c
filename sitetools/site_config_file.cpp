#include "site_config_file.h"

#include "platform/compose.h"
#include "retrieval/site_config.h"

#include <string.h>

namespace {

int EncodeField(const char* value, char* field) {
    return ComposeText(field, SITE_FIELD_SIZE, "%s", value) && strlen(value) <= SITE_LINE_MAX &&
                   EncodeConfigLine(field)
               ? 1
               : 0;
}

}  // namespace

int ComposeSiteConfigFile(const char* user, const char* password, const char* host, char* text,
                          const char** field) {
    char encoded[3][SITE_FIELD_SIZE];
    const char* values[3] = {user, password, host};
    const char* names[3] = {"FTP user", "FTP password", "FTP host"};
    for (int i = 0; i < 3; ++i) {
        if (!EncodeField(values[i], encoded[i])) {
            *field = names[i];
            return 0;
        }
    }
    // Each line ends in LF; the file is published byte for byte.
    if (!ComposeText(text, SITE_CONFIG_FILE_MAX, "Tallywise site configuration\n%s\n%s\n%s\n-\n-\n",
                     encoded[0], encoded[1], encoded[2])) {
        *field = "site configuration";
        return 0;
    }
    return static_cast<int>(strlen(text));
}

const char* SiteConfigValueRule() {
    return "at most 126 characters, and no character that this site key turns into a line end or an "
           "end-of-data mark";
}
