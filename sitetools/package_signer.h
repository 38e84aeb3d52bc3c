// Signing a package: the vendor's key file and the wkp.sig it makes for a
// z.exe and a wkp.zip, with the platform's own cryptography (CNG). Shared by
// tallywise-sign and tallywise-publish.
//
// The key file is ASCII, three lines each ending in LF:
//   tallywise-signing-key 1
//   public X||Y      (128 lower-case hex digits)
//   private D        (64 lower-case hex digits)
#pragma once

#include "retrieval/package_signature.h"

#include <windows.h>
#include <bcrypt.h>

const char SIGNING_KEY_FIRST_LINE[] = "tallywise-signing-key 1\n";

struct SigningKey {
    BCRYPT_ECCKEY_BLOB header;
    unsigned char point[PACKAGE_KEY_BYTES];  // X then Y: the public key
    unsigned char d[PACKAGE_KEY_BYTES / 2];
};

// Reads and checks a key file; 1 on success.
int LoadSigningKey(const char* path, SigningKey* key);

// Writes the whole signature file for the two entries into `text` (room for
// PACKAGE_SIGNATURE_MAX + 1 bytes) and checks it the way the installer will.
// Returns its length, or 0 with the reason in `*problem`. Clears the key's
// private half either way.
int ComposeSignatureFile(SigningKey* key, const PackageFileEntry* extractor, const PackageFileEntry* archive,
                         char* text, const char** problem);
