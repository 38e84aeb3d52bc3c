// The package's signature file, wkp.sig, and its checks: the vendor's ECDSA
// P-256 signature over the sizes and SHA-256 hashes of z.exe and wkp.zip.
//
// The file is ASCII, exactly four lines, each ending in one LF:
//   tallywise-package-signature 1
//   z.exe SIZE SHA256
//   wkp.zip SIZE SHA256
//   signature R S
// SIZE is decimal without leading zeros; SHA256, R and S are 64 lower-case hex
// digits each. The signature is over the SHA-256 of the first three lines, their
// LFs included. Hashing and verification are the platform's own (CNG).
#pragma once

#include "site_values.h"

const int PACKAGE_SIGNATURE_MAX = 1024;  // bytes a signature file may hold
const int PACKAGE_KEY_BYTES = 64;        // a public key: X then Y, big-endian
const int PACKAGE_HASH_BYTES = 32;
const int PACKAGE_SIGNATURE_BYTES = 64;  // R then S, big-endian

// The keys this build checks packages against; none in a build that checks no
// signatures.
const int BUILD_PACKAGE_KEY_COUNT = TALLYWISE_PACKAGE_KEY_COUNT;
const unsigned char* const BUILD_PACKAGE_KEYS =
    reinterpret_cast<const unsigned char*>(TALLYWISE_PACKAGE_KEY_BYTES);

struct PackageFileEntry {
    unsigned long long size;
    unsigned char sha256[PACKAGE_HASH_BYTES];
};

struct PackageSignature {
    PackageFileEntry extractor;                    // z.exe
    PackageFileEntry archive;                      // wkp.zip
    unsigned char signedHash[PACKAGE_HASH_BYTES];  // of the first three lines
    unsigned char signature[PACKAGE_SIGNATURE_BYTES];
};

// Reads `text` of `size` bytes. Returns 1 and fills `signature` when it is a
// well-formed signature file, else 0.
int ParsePackageSignature(const char* text, int size, PackageSignature* signature);

// Returns the number (1 for the first) of the key among the `keyCount` keys
// (64 bytes each, back to back) that made the signature, or 0 when none did.
int VerifyPackageSignature(const PackageSignature* signature, const unsigned char* keys, int keyCount);

// Reads the signature file at `path`. Returns 1 and fills `signature` when it
// is well formed, else 0.
int LoadPackageSignature(const char* path, PackageSignature* signature);

// Reads the signature file at `path` and checks its form and its signature.
// Returns 1 when both hold, else 0.
int ReadPackageSignature(const char* path, const unsigned char* keys, int keyCount,
                         PackageSignature* signature);

// One SHA-256 computation in progress, with the platform's CNG; the hash
// object lives in `object`.
struct PackageHash {
    void* algorithm;
    void* hash;
    unsigned char object[1024];
};
int BeginPackageHash(PackageHash* sha);  // 1, or 0 when the platform cannot hash
int AddToPackageHash(PackageHash* sha, const void* data, unsigned long size);
// Finishes the hash into `hash` (when given) and releases everything.
int EndPackageHash(PackageHash* sha, unsigned char* hash);

// Returns 1 when the file at `path` has the entry's size and SHA-256, else 0.
int CheckPackageFile(const char* path, const PackageFileEntry* entry);

// SHA-256 and size of the file at `path`; 1 on success, else 0.
int HashPackageFile(const char* path, PackageFileEntry* entry);

// SHA-256 of `size` bytes; 1 on success, else 0.
int HashBytes(const void* data, unsigned long size, unsigned char* hash);

// Reads exactly 2 * count lower-case hex digits from the start of the
// NUL-terminated `text`. Returns 1, or 0 when they are not there.
int ParseHex(const char* text, unsigned char* bytes, int count);

// Writes `count` bytes as 2 * count lower-case hex digits and a terminator.
void FormatHex(char* text, const unsigned char* bytes, int count);

// Writes the three signed lines for the two entries into `text` of `size` bytes.
// Returns their length, or 0 when they do not fit.
int ComposeSignedLines(char* text, int size, const PackageFileEntry* extractor,
                       const PackageFileEntry* archive);
