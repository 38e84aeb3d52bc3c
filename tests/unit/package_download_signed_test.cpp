// One download attempt in a build that carries package keys: the signature file
// comes first, every file is checked, and nothing unverified is kept.
#include "retrieval/package_download.h"
#include "retrieval/package_signature.h"
#include "retrieval/web_fetch.h"
#include "site_values.h"
#include "test_signing_key.h"

#include "fake_platform.h"
#include "site_body.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <bcrypt.h>
#include <direct.h>

namespace {

const std::string kNoAccess = "Unable to access " TALLYWISE_WEB_HOST "...check your internet connection\n";
const std::string kRejected = "The downloaded Tallywise files failed the signature check and were deleted\n";
const std::string kExtractor = "MZ the extractor";
const std::string kArchive = "PK the archive";

// A key pair as CNG takes it: the point, then the private scalar.
struct KeyBlob {
    BCRYPT_ECCKEY_BLOB header;
    unsigned char point[PACKAGE_KEY_BYTES];
    unsigned char d[PACKAGE_KEY_BYTES / 2];
};

KeyBlob TestKey() {
    KeyBlob blob;
    blob.header.dwMagic = BCRYPT_ECDSA_PRIVATE_P256_MAGIC;
    blob.header.cbKey = PACKAGE_KEY_BYTES / 2;
    EXPECT_EQ(ParseHex(TEST_SIGNING_PUBLIC, blob.point, PACKAGE_KEY_BYTES), 1);
    EXPECT_EQ(ParseHex(TEST_SIGNING_PRIVATE, blob.d, PACKAGE_KEY_BYTES / 2), 1);
    return blob;
}

// The signature file for these contents, signed with `blob`, or with a fresh
// key that no build carries when `blob` is NULL.
std::string SignatureFile(const std::string& extractor, const std::string& archive, const KeyBlob* blob) {
    PackageFileEntry entries[2];
    const std::string* contents[2] = {&extractor, &archive};
    for (int i = 0; i < 2; ++i) {
        entries[i].size = contents[i]->size();
        EXPECT_EQ(HashBytes(contents[i]->data(), static_cast<unsigned long>(contents[i]->size()),
                            entries[i].sha256),
                  1);
    }
    char lines[PACKAGE_SIGNATURE_MAX + 1];
    int length = ComposeSignedLines(lines, sizeof lines, &entries[0], &entries[1]);
    unsigned char hash[PACKAGE_HASH_BYTES];
    EXPECT_EQ(HashBytes(lines, static_cast<unsigned long>(length), hash), 1);

    BCRYPT_ALG_HANDLE algorithm = NULL;
    BCRYPT_KEY_HANDLE key = NULL;
    EXPECT_TRUE(
        BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, NULL, 0)));
    if (blob != NULL) {
        EXPECT_TRUE(BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm, NULL, BCRYPT_ECCPRIVATE_BLOB, &key,
                                                       reinterpret_cast<PUCHAR>(const_cast<KeyBlob*>(blob)),
                                                       sizeof *blob, 0)));
    } else {
        EXPECT_TRUE(BCRYPT_SUCCESS(BCryptGenerateKeyPair(algorithm, &key, 256, 0)));
        EXPECT_TRUE(BCRYPT_SUCCESS(BCryptFinalizeKeyPair(key, 0)));
    }
    unsigned char signature[PACKAGE_SIGNATURE_BYTES];
    ULONG signatureLength = 0;
    EXPECT_TRUE(BCRYPT_SUCCESS(
        BCryptSignHash(key, NULL, hash, sizeof hash, signature, sizeof signature, &signatureLength, 0)));
    BCryptDestroyKey(key);
    BCryptCloseAlgorithmProvider(algorithm, 0);

    char r[65];
    char s[65];
    FormatHex(r, signature, 32);
    FormatHex(s, signature + 32, 32);
    return std::string(lines) + "signature " + r + " " + s + "\n";
}

class SignedDownloadTest : public testing::Test {
  protected:
    void SetUp() override {
        ResetFake();
        g_internetHandle = NULL;
        g_ftpConnection = NULL;
        _chdrive(3);
        RemoveTree("C:\\Kestrow");
        CreateDirectoryA("C:\\Kestrow", NULL);
        fake.bodies = {ConfigBody(Encodable("tally"), Encodable("secret"), Encodable("ftp.example.org"))};
        key_ = TestKey();
        fake.remoteFiles = {{"wkp.sig", SignatureFile(kExtractor, kArchive, &key_)},
                            {"z.exe", kExtractor},
                            {"wkp.zip", kArchive}};
    }
    void TearDown() override { RemoveTree("C:\\Kestrow"); }

    std::vector<std::string> Fetched() const {
        std::vector<std::string> names;
        for (const FakeTransfer& transfer : fake.transfers) {
            names.push_back(transfer.remote);
        }
        return names;
    }

    KeyBlob key_;
};

TEST_F(SignedDownloadTest, SignatureFileComesFirstAndIsGoneAfterAGoodPackage) {
    EXPECT_EQ(DownloadPackage(), 1);

    EXPECT_EQ(fake.transcript, "");
    EXPECT_EQ(Fetched(), (std::vector<std::string>{"wkp.sig", "z.exe", "wkp.zip"}));
    for (const FakeTransfer& transfer : fake.transfers) {
        EXPECT_EQ(transfer.flags, PACKAGE_TRANSFER_FLAGS);
    }
    EXPECT_FALSE(FileExists("C:\\Kestrow\\wkp.sig"));
    EXPECT_EQ(ReadFile("C:\\Kestrow\\z.exe"), kExtractor);
    EXPECT_EQ(ReadFile("C:\\Kestrow\\wkp.zip"), kArchive);
    EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST_F(SignedDownloadTest, AFailedCheckDeletesThePackageAndLogsOut) {
    struct Case {
        const char* what;
        std::map<std::string, std::string> served;  // replaces what the site serves
        size_t transfers;                           // made before the check failed
    } cases[] = {
        {"a changed z.exe", {{"z.exe", "MZ the extractoR"}}, 2},
        {"a longer z.exe", {{"z.exe", kExtractor + "!"}}, 2},
        {"a changed wkp.zip", {{"wkp.zip", "PK the archivE"}}, 3},
        {"a signature by a key the build does not carry",
         {{"wkp.sig", SignatureFile(kExtractor, kArchive, NULL)}},
         1},
        {"a signature file of an older package", {{"wkp.sig", SignatureFile("MZ old", "PK old", &key_)}}, 2},
        {"a malformed signature file", {{"wkp.sig", "tallywise-package-signature 1\r\n"}}, 1},
        {"an empty signature file", {{"wkp.sig", ""}}, 1},
    };
    for (const Case& c : cases) {
        SetUp();
        // Files of an earlier attempt are deleted too.
        WriteFile("C:\\Kestrow\\wkp.zip", "left from before");
        for (const auto& file : c.served) {
            fake.remoteFiles[file.first] = file.second;
        }

        EXPECT_EQ(DownloadPackage(), 0) << c.what;

        EXPECT_EQ(fake.transcript, kRejected) << c.what;
        EXPECT_EQ(fake.transfers.size(), c.transfers) << c.what;
        for (const char* file : {"C:\\Kestrow\\wkp.sig", "C:\\Kestrow\\z.exe", "C:\\Kestrow\\wkp.zip"}) {
            EXPECT_FALSE(FileExists(file)) << c.what << ": " << file;
        }
        EXPECT_EQ(g_internetHandle, nullptr) << c.what;
        EXPECT_EQ(g_ftpConnection, nullptr) << c.what;
        EXPECT_EQ(fake.OpenHandles(), 0) << c.what;
    }
}

TEST_F(SignedDownloadTest, MissingSignatureFileIsNoAccessAndFetchesNothingElse) {
    fake.missingFiles = {"wkp.sig"};

    EXPECT_EQ(DownloadPackage(), 0);

    EXPECT_EQ(fake.transcript, kNoAccess);
    EXPECT_EQ(Fetched(), std::vector<std::string>{"wkp.sig"});
}

TEST_F(SignedDownloadTest, BrokenTransferAfterAGoodSignatureIsNoAccess) {
    fake.missingFiles = {"wkp.zip"};

    EXPECT_EQ(DownloadPackage(), 0);

    EXPECT_EQ(fake.transcript, kNoAccess);
    // The next attempt starts over with the signature file.
    fake.missingFiles.clear();
    fake.transfers.clear();
    EXPECT_EQ(DownloadPackage(), 1);
    EXPECT_EQ(fake.transfers.front().remote, "wkp.sig");
    EXPECT_FALSE(FileExists("C:\\Kestrow\\wkp.sig"));
}

// Resuming: files kept from an attempt under the same wkp.sig continue where
// they stopped; anything else starts clean.
class ResumeTest : public SignedDownloadTest {
  protected:
    void SetUp() override {
        SignedDownloadTest::SetUp();
        archive_ = std::string("PK ") + std::string(300, 'a') + std::string(300, 'b');
        fake.remoteFiles["wkp.zip"] = archive_;
        fake.remoteFiles["wkp.sig"] = SignatureFile(kExtractor, archive_, &key_);
    }
    // What an earlier attempt under the served wkp.sig left behind.
    void Kept(const std::string& extractor, const std::string& archive) {
        WriteFile("C:\\Kestrow\\wkp.sig", fake.remoteFiles["wkp.sig"]);
        WriteFile("C:\\Kestrow\\z.exe", extractor);
        WriteFile("C:\\Kestrow\\wkp.zip", archive);
    }
    std::vector<unsigned long long> Restarts() const {
        std::vector<unsigned long long> offsets;
        for (const FakeTransfer& transfer : fake.transfers) {
            offsets.push_back(transfer.restart);
        }
        return offsets;
    }
    void ExpectInstalled() {
        EXPECT_EQ(ReadFile("C:\\Kestrow\\z.exe"), kExtractor);
        EXPECT_EQ(ReadFile("C:\\Kestrow\\wkp.zip"), archive_);
        EXPECT_FALSE(FileExists("C:\\Kestrow\\wkp.sig"));
    }
    std::string archive_;
};

TEST_F(ResumeTest, ACompleteFileStaysAndAShorterOneContinuesWhereItStopped) {
    Kept(kExtractor, archive_.substr(0, 250));

    EXPECT_EQ(DownloadPackage(), 1);

    EXPECT_EQ(fake.transcript, "");
    EXPECT_EQ(Fetched(), (std::vector<std::string>{"wkp.sig", "wkp.zip"}));
    EXPECT_EQ(Restarts(), (std::vector<unsigned long long>{0, 250}));
    EXPECT_EQ(fake.ftpCommands, (std::vector<std::string>{"TYPE I", "REST 250"}));
    ExpectInstalled();
}

TEST_F(ResumeTest, ACutTransferLeavesItsBytesAndTheHashIsCarriedOverThem) {
    for (bool reset : {true, false}) {
        SetUp();
        fake.cuts["wkp.zip"] = FakeCut{200, 1, reset};

        EXPECT_EQ(DownloadPackage(), 0) << reset;
        EXPECT_EQ(fake.transcript, kNoAccess) << reset;
        EXPECT_EQ(ReadFile("C:\\Kestrow\\wkp.zip"), archive_.substr(0, 200)) << reset;
        EXPECT_EQ(ReadFile("C:\\Kestrow\\wkp.sig"), fake.remoteFiles["wkp.sig"]) << reset;

        // The next attempt, as if the installer had been started again.
        g_internetHandle = NULL;
        g_ftpConnection = NULL;
        fake.bodies = {ConfigBody(Encodable("tally"), Encodable("secret"), Encodable("ftp.example.org"))};
        EXPECT_EQ(DownloadPackage(), 1) << reset;
        EXPECT_EQ(Fetched(), (std::vector<std::string>{"wkp.sig", "z.exe", "wkp.zip", "wkp.sig", "wkp.zip"}));
        EXPECT_EQ(Restarts().back(), 200u) << reset;
        ExpectInstalled();
    }
}

TEST_F(ResumeTest, FilesKeptUnderAnotherSignatureFileAreDiscarded) {
    Kept("MZ old", archive_.substr(0, 250));
    WriteFile("C:\\Kestrow\\wkp.sig", SignatureFile("MZ old", "PK old", &key_));

    EXPECT_EQ(DownloadPackage(), 1);

    EXPECT_EQ(Fetched(), (std::vector<std::string>{"wkp.sig", "z.exe", "wkp.zip"}));
    EXPECT_EQ(Restarts(), (std::vector<unsigned long long>{0, 0, 0}));
    EXPECT_TRUE(fake.ftpCommands.empty());
    ExpectInstalled();
}

TEST_F(ResumeTest, AServerThatRefusesRestGetsAskedForTheWholeFile) {
    Kept(kExtractor, archive_.substr(0, 250));
    fake.restRefused = true;

    EXPECT_EQ(DownloadPackage(), 1);

    EXPECT_EQ(Restarts(), (std::vector<unsigned long long>{0, 0}));
    ExpectInstalled();
}

TEST_F(ResumeTest, AResumedFileWithWrongBytesIsRejectedAndCleaned) {
    Kept(kExtractor, "PK " + std::string(247, 'x'));

    EXPECT_EQ(DownloadPackage(), 0);

    EXPECT_EQ(fake.transcript, kRejected);
    EXPECT_EQ(Restarts().back(), 250u);
    for (const char* file : {"C:\\Kestrow\\wkp.sig", "C:\\Kestrow\\z.exe", "C:\\Kestrow\\wkp.zip"}) {
        EXPECT_FALSE(FileExists(file)) << file;
    }
}

TEST_F(ResumeTest, AServerThatIgnoresTheRestartMarkGetsTheWholeFileFromThenOn) {
    Kept(kExtractor, archive_.substr(0, 250));
    fake.restIgnored = true;

    EXPECT_EQ(DownloadPackage(), 0);
    EXPECT_EQ(fake.transcript, kNoAccess);
    EXPECT_FALSE(FileExists("C:\\Kestrow\\wkp.zip"));

    // A cut leaves a partial file again; still the next attempt asks for all of it.
    fake.cuts["wkp.zip"] = FakeCut{100, 1, false};
    fake.bodies = {ConfigBody(Encodable("tally"), Encodable("secret"), Encodable("ftp.example.org"))};
    EXPECT_EQ(DownloadPackage(), 0);
    fake.bodies = {ConfigBody(Encodable("tally"), Encodable("secret"), Encodable("ftp.example.org"))};
    EXPECT_EQ(DownloadPackage(), 1);
    EXPECT_EQ(Restarts(), (std::vector<unsigned long long>{0, 250, 0, 0, 0, 0}));
    EXPECT_EQ(fake.ftpCommands, (std::vector<std::string>{"TYPE I", "REST 250"}));
    ExpectInstalled();
}

TEST_F(ResumeTest, TheProgressLineKnowsTheTotal) {
    fake.console = true;
    fake.tickStep = 100;
    fake.remoteFiles["wkp.zip"] = archive_;

    EXPECT_EQ(DownloadPackage(), 1);

    EXPECT_NE(fake.consoleText.find("\rwkp.zip  0.0 MB of 0.0 MB  "), std::string::npos) << fake.consoleText;
    EXPECT_NE(fake.consoleText.find("%"), std::string::npos);
    EXPECT_EQ(fake.transcript, "");
}

}  // namespace
