#include "package_signer.h"

#include "platform/compose.h"

#include <stdio.h>
#include <string.h>

namespace {

const int kCoordinateBytes = PACKAGE_KEY_BYTES / 2;

}  // namespace

int LoadSigningKey(const char* path, SigningKey* key) {
    FILE* file = fopen(path, "rb");
    if (file == NULL) {
        return 0;
    }
    char text[512];
    size_t size = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    text[size] = '\0';
    const char* publicLine = text + strlen(SIGNING_KEY_FIRST_LINE);
    const char* privateLine = publicLine + strlen("public ") + 2 * PACKAGE_KEY_BYTES + 1;
    size_t expected = strlen(SIGNING_KEY_FIRST_LINE) + strlen("public ") + 2 * PACKAGE_KEY_BYTES + 1 +
                      strlen("private ") + 2 * kCoordinateBytes + 1;
    int ok = size == expected && strncmp(text, SIGNING_KEY_FIRST_LINE, strlen(SIGNING_KEY_FIRST_LINE)) == 0 &&
             strncmp(publicLine, "public ", 7) == 0 &&
             ParseHex(publicLine + 7, key->point, PACKAGE_KEY_BYTES) && privateLine[-1] == '\n' &&
             strncmp(privateLine, "private ", 8) == 0 &&
             ParseHex(privateLine + 8, key->d, kCoordinateBytes) && text[size - 1] == '\n';
    SecureZeroMemory(text, sizeof text);
    if (!ok) {
        return 0;
    }
    key->header.dwMagic = BCRYPT_ECDSA_PRIVATE_P256_MAGIC;
    key->header.cbKey = kCoordinateBytes;
    return 1;
}

int ComposeSignatureFile(SigningKey* key, const PackageFileEntry* extractor, const PackageFileEntry* archive,
                         char* text, const char** problem) {
    int signedLength = ComposeSignedLines(text, PACKAGE_SIGNATURE_MAX + 1, extractor, archive);
    unsigned char hash[PACKAGE_HASH_BYTES];
    unsigned char signature[PACKAGE_SIGNATURE_BYTES];
    ULONG signatureLength = 0;
    BCRYPT_ALG_HANDLE algorithm = NULL;
    BCRYPT_KEY_HANDLE handle = NULL;
    int signedOk =
        signedLength > 0 && HashBytes(text, static_cast<unsigned long>(signedLength), hash) &&
        BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, NULL, 0));
    signedOk = signedOk &&
               BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm, NULL, BCRYPT_ECCPRIVATE_BLOB, &handle,
                                                  reinterpret_cast<PUCHAR>(key), sizeof *key, 0)) &&
               BCRYPT_SUCCESS(BCryptSignHash(handle, NULL, hash, sizeof hash, signature, sizeof signature,
                                             &signatureLength, 0)) &&
               signatureLength == sizeof signature;
    SecureZeroMemory(key->d, sizeof key->d);
    if (handle != NULL) {
        BCryptDestroyKey(handle);
    }
    if (algorithm != NULL) {
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    if (!signedOk) {
        *problem = "the platform could not sign with this key";
        return 0;
    }

    char r[2 * kCoordinateBytes + 1];
    char s[2 * kCoordinateBytes + 1];
    FormatHex(r, signature, kCoordinateBytes);
    FormatHex(s, signature + kCoordinateBytes, kCoordinateBytes);
    if (!ComposeText(text + signedLength, static_cast<size_t>(PACKAGE_SIGNATURE_MAX + 1 - signedLength),
                     "signature %s %s\n", r, s)) {
        *problem = "the signature file would be too long";
        return 0;
    }

    // What the installer will do with it, before it is published: a key file
    // whose public half does not belong to its private half fails here.
    PackageSignature check;
    int length = static_cast<int>(strlen(text));
    if (!ParsePackageSignature(text, length, &check) || VerifyPackageSignature(&check, key->point, 1) != 1) {
        *problem = "the signature does not verify with the key file's public key";
        return 0;
    }
    return length;
}
