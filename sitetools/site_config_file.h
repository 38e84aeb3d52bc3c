// The site configuration file a vendor publishes as /meterobj1.txt: six lines,
// the FTP account in lines 2 to 4, encoded with this build's key. Shared by
// tallywise-siteconfig and tallywise-publish.
#pragma once

#include <stddef.h>

const int SITE_CONFIG_FILE_MAX = 512;

// Composes the file into `text` (SITE_CONFIG_FILE_MAX bytes). Returns its length,
// or 0 when a value cannot be stored, with `*field` naming it ("FTP user", ...).
int ComposeSiteConfigFile(const char* user, const char* password, const char* host, char* text,
                          const char** field);

// Why a value cannot be stored, for messages.
const char* SiteConfigValueRule();
