// Generated at configure time from the TALLYWISE_* cache variables; do not edit.
#pragma once

#define TALLYWISE_WEB_HOST "www.brindlecove.example"
#define TALLYWISE_WEB_DOMAIN "brindlecove.example"
#define TALLYWISE_SECOND_DOMAIN "brindlecove-files.example"
#define TALLYWISE_CONFIG_KEY 77
#define TALLYWISE_CONFIG_URL "http://" TALLYWISE_WEB_HOST "/meterobj1.txt"

// The public keys the package must be signed by, 64 bytes each; none in a build
// that checks no signatures.
#define TALLYWISE_PACKAGE_KEY_COUNT 0
#define TALLYWISE_PACKAGE_KEY_BYTES ""
