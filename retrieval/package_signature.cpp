#include "package_signature.h"

#include "platform/compose.h"

#include <windows.h>
#include <bcrypt.h>

#include <stdio.h>
#include <string.h>

namespace {

const char kFirstLine[] = "tallywise-package-signature 1\n";
const int kSizeDigitsMax = 19;  // below 2^64, so no count can wrap

// A cursor over the signature file; each Take moves past what it accepted.
struct Cursor {
    const char* at;
    const char* end;
};

int TakeText(Cursor* cursor, const char* literal) {
    size_t length = strlen(literal);
    if (static_cast<size_t>(cursor->end - cursor->at) < length || memcmp(cursor->at, literal, length) != 0) {
        return 0;
    }
    cursor->at += length;
    return 1;
}

int TakeDecimal(Cursor* cursor, unsigned long long* value) {
    *value = 0;
    int digits = 0;
    while (cursor->at < cursor->end && *cursor->at >= '0' && *cursor->at <= '9' && digits <= kSizeDigitsMax) {
        *value = *value * 10 + static_cast<unsigned>(*cursor->at - '0');
        ++cursor->at;
        ++digits;
    }
    // No leading zeros: "0" is the only number that starts with one.
    int leadingZero = digits > 1 && cursor->at[-digits] == '0';
    return digits > 0 && digits <= kSizeDigitsMax && !leadingZero ? 1 : 0;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;  // upper case included: the format has one spelling
}

int TakeHex(Cursor* cursor, unsigned char* bytes, int count) {
    if (cursor->end - cursor->at < 2 * count) {
        return 0;
    }
    for (int i = 0; i < count; ++i) {
        int high = HexDigit(cursor->at[2 * i]);
        int low = HexDigit(cursor->at[2 * i + 1]);
        if (high < 0 || low < 0) {
            return 0;
        }
        bytes[i] = static_cast<unsigned char>(high * 16 + low);
    }
    cursor->at += 2 * count;
    return 1;
}

int TakeEntry(Cursor* cursor, const char* name, PackageFileEntry* entry) {
    return TakeText(cursor, name) && TakeText(cursor, " ") && TakeDecimal(cursor, &entry->size) &&
           TakeText(cursor, " ") && TakeHex(cursor, entry->sha256, PACKAGE_HASH_BYTES) &&
           TakeText(cursor, "\n");
}

}  // namespace

int BeginPackageHash(PackageHash* sha) {
    sha->algorithm = NULL;
    sha->hash = NULL;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&sha->algorithm, BCRYPT_SHA256_ALGORITHM, NULL, 0))) {
        sha->algorithm = NULL;
        return 0;
    }
    DWORD objectLength = 0;
    ULONG got = 0;
    if (BCRYPT_SUCCESS(BCryptGetProperty(sha->algorithm, BCRYPT_OBJECT_LENGTH,
                                         reinterpret_cast<PUCHAR>(&objectLength), sizeof objectLength, &got,
                                         0)) &&
        objectLength <= sizeof sha->object &&
        BCRYPT_SUCCESS(BCryptCreateHash(sha->algorithm, &sha->hash, sha->object, objectLength, NULL, 0, 0))) {
        return 1;
    }
    sha->hash = NULL;
    BCryptCloseAlgorithmProvider(sha->algorithm, 0);
    sha->algorithm = NULL;
    return 0;
}

int AddToPackageHash(PackageHash* sha, const void* data, unsigned long size) {
    return BCRYPT_SUCCESS(BCryptHashData(sha->hash, static_cast<PUCHAR>(const_cast<void*>(data)), size, 0))
               ? 1
               : 0;
}

// Finishes the hash into `hash` (when given) and releases everything.
int EndPackageHash(PackageHash* sha, unsigned char* hash) {
    int ok = hash != NULL && BCRYPT_SUCCESS(BCryptFinishHash(sha->hash, hash, PACKAGE_HASH_BYTES, 0)) ? 1 : 0;
    BCryptDestroyHash(sha->hash);
    BCryptCloseAlgorithmProvider(sha->algorithm, 0);
    return ok;
}

int HashBytes(const void* data, unsigned long size, unsigned char* hash) {
    PackageHash sha;
    if (!BeginPackageHash(&sha)) {
        return 0;
    }
    int added = AddToPackageHash(&sha, data, size);
    return EndPackageHash(&sha, added ? hash : NULL);
}

int HashPackageFile(const char* path, PackageFileEntry* entry) {
    FILE* file = fopen(path, "rb");
    if (file == NULL) {
        return 0;
    }
    PackageHash sha;
    if (!BeginPackageHash(&sha)) {
        fclose(file);
        return 0;
    }
    unsigned char chunk[32768];
    entry->size = 0;
    int ok = 1;
    size_t got = 0;
    while (ok && (got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        entry->size += got;
        ok = AddToPackageHash(&sha, chunk, static_cast<unsigned long>(got));
    }
    ok = ok && !ferror(file);
    fclose(file);
    return EndPackageHash(&sha, ok ? entry->sha256 : NULL);
}

int CheckPackageFile(const char* path, const PackageFileEntry* entry) {
    PackageFileEntry found;
    return HashPackageFile(path, &found) && found.size == entry->size &&
                   memcmp(found.sha256, entry->sha256, PACKAGE_HASH_BYTES) == 0
               ? 1
               : 0;
}

int ParsePackageSignature(const char* text, int size, PackageSignature* signature) {
    if (size < 0 || size > PACKAGE_SIGNATURE_MAX) {
        return 0;
    }
    Cursor cursor = {text, text + size};
    if (!TakeText(&cursor, kFirstLine) || !TakeEntry(&cursor, "z.exe", &signature->extractor) ||
        !TakeEntry(&cursor, "wkp.zip", &signature->archive)) {
        return 0;
    }
    unsigned long signedLength = static_cast<unsigned long>(cursor.at - text);
    if (!TakeText(&cursor, "signature ") || !TakeHex(&cursor, signature->signature, 32) ||
        !TakeText(&cursor, " ") || !TakeHex(&cursor, signature->signature + 32, 32) ||
        !TakeText(&cursor, "\n") || cursor.at != cursor.end) {
        return 0;
    }
    return HashBytes(text, signedLength, signature->signedHash);
}

int VerifyPackageSignature(const PackageSignature* signature, const unsigned char* keys, int keyCount) {
    BCRYPT_ALG_HANDLE algorithm = NULL;
    if (keyCount <= 0 ||
        !BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, NULL, 0))) {
        return 0;
    }
    int signer = 0;
    for (int i = 0; i < keyCount && signer == 0; ++i) {
        struct {
            BCRYPT_ECCKEY_BLOB header;
            unsigned char point[PACKAGE_KEY_BYTES];
        } blob;
        blob.header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
        blob.header.cbKey = PACKAGE_KEY_BYTES / 2;
        memcpy(blob.point, keys + i * PACKAGE_KEY_BYTES, PACKAGE_KEY_BYTES);
        BCRYPT_KEY_HANDLE key = NULL;
        if (!BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm, NULL, BCRYPT_ECCPUBLIC_BLOB, &key,
                                                reinterpret_cast<PUCHAR>(&blob), sizeof blob, 0))) {
            continue;
        }
        if (BCRYPT_SUCCESS(BCryptVerifySignature(key, NULL, const_cast<PUCHAR>(signature->signedHash),
                                                 PACKAGE_HASH_BYTES, const_cast<PUCHAR>(signature->signature),
                                                 PACKAGE_SIGNATURE_BYTES, 0))) {
            signer = i + 1;
        }
        BCryptDestroyKey(key);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return signer;
}

int LoadPackageSignature(const char* path, PackageSignature* signature) {
    FILE* file = fopen(path, "rb");
    if (file == NULL) {
        return 0;
    }
    // One byte more than a signature file may hold tells an overlong one.
    char text[PACKAGE_SIGNATURE_MAX + 1];
    size_t size = fread(text, 1, sizeof text, file);
    int readWhole = !ferror(file);
    fclose(file);
    return readWhole && ParsePackageSignature(text, static_cast<int>(size), signature) ? 1 : 0;
}

int ReadPackageSignature(const char* path, const unsigned char* keys, int keyCount,
                         PackageSignature* signature) {
    return LoadPackageSignature(path, signature) && VerifyPackageSignature(signature, keys, keyCount) > 0 ? 1
                                                                                                          : 0;
}

int ParseHex(const char* text, unsigned char* bytes, int count) {
    Cursor cursor = {text, text + strlen(text)};
    return TakeHex(&cursor, bytes, count);
}

void FormatHex(char* text, const unsigned char* bytes, int count) {
    static const char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < count; ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 15];
    }
    text[2 * count] = '\0';
}

int ComposeSignedLines(char* text, int size, const PackageFileEntry* extractor,
                       const PackageFileEntry* archive) {
    char extractorHash[2 * PACKAGE_HASH_BYTES + 1];
    char archiveHash[2 * PACKAGE_HASH_BYTES + 1];
    char extractorSize[21];
    char archiveSize[21];
    FormatHex(extractorHash, extractor->sha256, PACKAGE_HASH_BYTES);
    FormatHex(archiveHash, archive->sha256, PACKAGE_HASH_BYTES);
    FormatDecimal(extractorSize, extractor->size);
    FormatDecimal(archiveSize, archive->size);
    if (size <= 0 || !ComposeText(text, static_cast<size_t>(size), "%sz.exe %s %s\nwkp.zip %s %s\n",
                                  kFirstLine, extractorSize, extractorHash, archiveSize, archiveHash)) {
        return 0;
    }
    return static_cast<int>(strlen(text));
}
