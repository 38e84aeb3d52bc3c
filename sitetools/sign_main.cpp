// tallywise-sign: the vendor's package signing, with the platform's own
// cryptography and the installer's own signature file code.
//
//   tallywise-sign new-key KEYFILE      makes a key pair, writes the private key to
//                                       KEYFILE (never over an existing file) and
//                                       prints the public key for TALLYWISE_PACKAGE_KEYS
//   tallywise-sign public-key KEYFILE   prints the public key of KEYFILE again
//   tallywise-sign sign KEYFILE FOLDER  writes FOLDER\wkp.sig for FOLDER\z.exe and
//                                       FOLDER\wkp.zip
//
// The key file is ASCII, three lines each ending in LF:
//   tallywise-signing-key 1
//   public X||Y      (128 lower-case hex digits)
//   private D        (64 lower-case hex digits)
#include "package_signer.h"
#include "platform/compose.h"
#include "retrieval/package_signature.h"

#include <windows.h>
#include <bcrypt.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <cstdio>
#include <cstring>

namespace {

const int kCoordinateBytes = PACKAGE_KEY_BYTES / 2;

int Fail(const char* subject, const char* problem) {
    fprintf(stderr, "tallywise-sign: %s: %s\n", subject, problem);
    return 1;
}

void ReleaseKey(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE key) {
    if (key != NULL) {
        BCryptDestroyKey(key);
    }
    if (algorithm != NULL) {
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
}

int PrintPublicKey(const SigningKey& blob) {
    char hex[2 * PACKAGE_KEY_BYTES + 1];
    FormatHex(hex, blob.point, PACKAGE_KEY_BYTES);
    printf("%s\n", hex);
    return 0;
}

int NewKey(const char* path) {
    BCRYPT_ALG_HANDLE algorithm = NULL;
    BCRYPT_KEY_HANDLE key = NULL;
    SigningKey blob;
    ULONG exported = 0;
    int made = BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, NULL, 0));
    made = made && BCRYPT_SUCCESS(BCryptGenerateKeyPair(algorithm, &key, 256, 0)) &&
           BCRYPT_SUCCESS(BCryptFinalizeKeyPair(key, 0)) &&
           BCRYPT_SUCCESS(BCryptExportKey(key, NULL, BCRYPT_ECCPRIVATE_BLOB, reinterpret_cast<PUCHAR>(&blob),
                                          sizeof blob, &exported, 0)) &&
           exported == sizeof blob;
    ReleaseKey(algorithm, key);
    if (!made) {
        return Fail(path, "the platform could not make an ECDSA P-256 key pair");
    }

    char publicHex[2 * PACKAGE_KEY_BYTES + 1];
    char privateHex[2 * kCoordinateBytes + 1];
    FormatHex(publicHex, blob.point, PACKAGE_KEY_BYTES);
    FormatHex(privateHex, blob.d, kCoordinateBytes);
    char text[512];
    ComposeText(text, sizeof text, "%spublic %s\nprivate %s\n", SIGNING_KEY_FIRST_LINE, publicHex,
                privateHex);
    SecureZeroMemory(privateHex, sizeof privateHex);

    // Never over an existing file: it may be the only copy of a key in use.
    int file = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (file == -1) {
        SecureZeroMemory(text, sizeof text);
        return Fail(path, "exists already or cannot be created; no key was written");
    }
    int length = static_cast<int>(strlen(text));
    int written = _write(file, text, static_cast<unsigned>(length));
    int closed = _close(file);
    SecureZeroMemory(text, sizeof text);
    SecureZeroMemory(&blob.d, sizeof blob.d);
    if (written != length || closed != 0) {
        _unlink(path);
        return Fail(path, "could not be written whole; no key was kept");
    }
    printf("%s\n", publicHex);
    return 0;
}

int Sign(const char* keyPath, const char* folder) {
    SigningKey blob;
    if (!LoadSigningKey(keyPath, &blob)) {
        return Fail(keyPath, "is not a tallywise-sign key file");
    }
    const char* separator = folder[0] != '\0' && folder[strlen(folder) - 1] != '\\' ? "\\" : "";
    char extractorPath[MAX_PATH];
    char archivePath[MAX_PATH];
    char signaturePath[MAX_PATH];
    if (!ComposeText(extractorPath, sizeof extractorPath, "%s%sz.exe", folder, separator) ||
        !ComposeText(archivePath, sizeof archivePath, "%s%swkp.zip", folder, separator) ||
        !ComposeText(signaturePath, sizeof signaturePath, "%s%swkp.sig", folder, separator)) {
        return Fail(folder, "the folder name is too long");
    }
    PackageFileEntry extractor;
    PackageFileEntry archive;
    if (!HashPackageFile(extractorPath, &extractor)) {
        return Fail(extractorPath, "cannot be read");
    }
    if (!HashPackageFile(archivePath, &archive)) {
        return Fail(archivePath, "cannot be read");
    }

    char text[PACKAGE_SIGNATURE_MAX + 1];
    const char* problem = "";
    int length = ComposeSignatureFile(&blob, &extractor, &archive, text, &problem);
    if (length == 0) {
        return Fail(keyPath, problem);
    }

    FILE* out = fopen(signaturePath, "wb");
    if (out == NULL) {
        return Fail(signaturePath, "cannot be written");
    }
    size_t written = fwrite(text, 1, static_cast<size_t>(length), out);
    if (fclose(out) != 0 || written != static_cast<size_t>(length)) {
        _unlink(signaturePath);
        return Fail(signaturePath, "could not be written whole");
    }
    printf("wrote %s: z.exe %llu bytes, wkp.zip %llu bytes\n", signaturePath, extractor.size, archive.size);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "new-key") == 0) {
        return NewKey(argv[2]);
    }
    if (argc == 3 && strcmp(argv[1], "public-key") == 0) {
        SigningKey blob;
        if (!LoadSigningKey(argv[2], &blob)) {
            return Fail(argv[2], "is not a tallywise-sign key file");
        }
        SecureZeroMemory(&blob.d, sizeof blob.d);
        return PrintPublicKey(blob);
    }
    if (argc == 4 && strcmp(argv[1], "sign") == 0) {
        return Sign(argv[2], argv[3]);
    }
    fprintf(stderr,
            "usage: tallywise-sign new-key KEYFILE\n"
            "       tallywise-sign public-key KEYFILE\n"
            "       tallywise-sign sign KEYFILE FOLDER\n");
    return 2;
}
