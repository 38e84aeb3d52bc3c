// The signature file: its one exact form, and the checks made with the real CNG
// against signatures that openssl and tallywise-sign made.
#include "retrieval/package_signature.h"

#include "test_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// z.exe holds "MZ test extractor" and wkp.zip "PK test archive".
const std::string kSignedLines =
    "tallywise-package-signature 1\n"
    "z.exe 17 8e7392afe603c4c667925ea8b3ac5a57ced4e5a57e56de16b01fd441523e28b8\n"
    "wkp.zip 15 e6405b957f8a8802053dc0a797ee80531b61e8ea1de74ad9333cd83f3356078b\n";
// By the openssl test key (tests/fixtures/signing/openssl-key.pem), following the README.
const std::string kOpensslSignature =
    "signature 5047bd7cf7c93585b447782afcf7ec8025fd1a0fd5941afd5d6dcda092a63578 "
    "0c3bdf977fd9864c95a8a75bc0a575e124da5136a1949290dc5dd722b09ca3b5\n";
// By the tallywise-sign test key (tests/fixtures/signing/tool-key.txt).
const std::string kToolSignature =
    "signature 893670baa2227411d3d6241c712a970d36ee8cdfb0bc7a50cef7657656032997 "
    "f7629f3f3f1edc72cf96ac0a529da175273b0cc6e77d66ccc4f6c98087093a08\n";
const char kToolKey[] =
    "9ae430969265f0351847319284f38a3923ba35fd83d1d0a2af262a99295ac76b"
    "3ee68a7d159c7145a65992487103aa33d3e349d933288509b15d30575980a7b2";
const char kOpensslKey[] =
    "57ed798f006ef96d0e2407377cca1c5a36b144d063e9c56c759ce48f0d5b3855"
    "181a48f0d70a8db1ea08548e9f0edd7c84a6f83a0a0a2bb85e0bca704446f2ef";

std::vector<unsigned char> Keys(std::initializer_list<const char*> hexKeys) {
    std::vector<unsigned char> keys;
    for (const char* hex : hexKeys) {
        unsigned char key[PACKAGE_KEY_BYTES];
        EXPECT_EQ(ParseHex(hex, key, PACKAGE_KEY_BYTES), 1);
        keys.insert(keys.end(), key, key + PACKAGE_KEY_BYTES);
    }
    return keys;
}

int Parse(const std::string& text, PackageSignature* signature) {
    return ParsePackageSignature(text.data(), static_cast<int>(text.size()), signature);
}

// The verdict on a file text: the number of the key that signed it, 0 for none,
// -1 when it is not even well formed.
int Verdict(const std::string& text, const std::vector<unsigned char>& keys) {
    PackageSignature signature;
    if (!Parse(text, &signature)) {
        return -1;
    }
    return VerifyPackageSignature(&signature, keys.data(), static_cast<int>(keys.size() / PACKAGE_KEY_BYTES));
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(PackageSignatureTest, WellFormedFileIsReadWhole) {
    PackageSignature signature;
    ASSERT_EQ(Parse(kSignedLines + kOpensslSignature, &signature), 1);

    PackageFileEntry extractor;
    PackageFileEntry archive;
    ASSERT_EQ(HashBytes("MZ test extractor", 17, extractor.sha256), 1);
    ASSERT_EQ(HashBytes("PK test archive", 15, archive.sha256), 1);
    EXPECT_EQ(signature.extractor.size, 17u);
    EXPECT_EQ(signature.archive.size, 15u);
    EXPECT_EQ(memcmp(signature.extractor.sha256, extractor.sha256, PACKAGE_HASH_BYTES), 0);
    EXPECT_EQ(memcmp(signature.archive.sha256, archive.sha256, PACKAGE_HASH_BYTES), 0);
    unsigned char signedHash[PACKAGE_HASH_BYTES];
    ASSERT_EQ(HashBytes(kSignedLines.data(), static_cast<unsigned long>(kSignedLines.size()), signedHash), 1);
    EXPECT_EQ(memcmp(signature.signedHash, signedHash, PACKAGE_HASH_BYTES), 0);
    EXPECT_EQ(signature.signature[0], 0x50);
    EXPECT_EQ(signature.signature[63], 0xb5);

    // The signer writes exactly the lines that openssl's recipe writes.
    char lines[PACKAGE_SIGNATURE_MAX + 1];
    extractor.size = 17;
    archive.size = 15;
    ASSERT_EQ(ComposeSignedLines(lines, sizeof lines, &extractor, &archive),
              static_cast<int>(kSignedLines.size()));
    EXPECT_EQ(std::string(lines), kSignedLines);
}

TEST(PackageSignatureTest, EveryDepartureFromTheFormIsRejected) {
    const std::string good = kSignedLines + kOpensslSignature;
    const std::string zeros(64, '0');
    struct Case {
        const char* what;
        std::string text;
    } cases[] = {
        {"another version", Replace(good, "signature 1\n", "signature 2\n")},
        {"CR LF line ends", Replace(Replace(good, "1\nz.exe", "1\r\nz.exe"), "b8\nwkp", "b8\r\nwkp")},
        {"a CR before the last LF", good.substr(0, good.size() - 1) + "\r\n"},
        {"no final LF", good.substr(0, good.size() - 1)},
        {"a blank line at the end", good + "\n"},
        {"an extra line", good + "comment\n"},
        {"the signature line missing", kSignedLines},
        {"a leading blank", " " + good},
        {"two blanks between fields", Replace(good, "z.exe 17", "z.exe  17")},
        {"a tab between fields", Replace(good, "z.exe 17", "z.exe\t17")},
        {"upper-case hash", Replace(good, "8e7392afe6", "8E7392AFE6")},
        {"upper-case signature", Replace(good, "signature 5047bd", "signature 5047BD")},
        {"a leading zero in a size", Replace(good, "z.exe 17", "z.exe 017")},
        {"a signed size", Replace(good, "z.exe 17", "z.exe +17")},
        {"no size", Replace(good, "z.exe 17 ", "z.exe ")},
        {"a size of 20 digits", Replace(good, "z.exe 17", "z.exe 10000000000000000017")},
        {"a short hash", Replace(good, "28b8\n", "28b\n")},
        {"a long signature half", Replace(good, "a3b5\n", "a3b50\n")},
        {"the files in the other order",
         Replace(Replace(good, "z.exe 17", "wkp.zip 17"), "wkp.zip 15", "z.exe 15")},
        {"a NUL inside", Replace(good, "z.exe 17",
                                 std::string("z.exe\0"
                                             "17",
                                             8))},
        {"an empty file", ""},
    };
    for (const Case& c : cases) {
        PackageSignature signature;
        EXPECT_EQ(Parse(c.text, &signature), 0) << c.what;
    }
    // Well formed but signed by nobody.
    EXPECT_EQ(Verdict(kSignedLines + "signature " + zeros + " " + zeros + "\n", Keys({kOpensslKey})), 0);
    // More than 1024 bytes is refused before anything else is looked at.
    std::string padded = good + std::string(PACKAGE_SIGNATURE_MAX, 'x');
    PackageSignature signature;
    EXPECT_EQ(ParsePackageSignature(padded.data(), PACKAGE_SIGNATURE_MAX + 1, &signature), 0);
}

TEST(PackageSignatureTest, SignaturesOfOpensslAndOfTheSignerVerify) {
    // Either key of a two-key build: the verdict names the key that signed.
    std::vector<unsigned char> both = Keys({kToolKey, kOpensslKey});
    EXPECT_EQ(Verdict(kSignedLines + kOpensslSignature, both), 2);
    EXPECT_EQ(Verdict(kSignedLines + kToolSignature, both), 1);
    // A key the build does not carry signs nothing.
    EXPECT_EQ(Verdict(kSignedLines + kOpensslSignature, Keys({kToolKey})), 0);
    EXPECT_EQ(Verdict(kSignedLines + kToolSignature, Keys({kOpensslKey})), 0);
    EXPECT_EQ(Verdict(kSignedLines + kToolSignature, Keys({})), 0);
}

TEST(PackageSignatureTest, AnyAlterationBreaksTheSignature) {
    const std::string good = kSignedLines + kOpensslSignature;
    std::vector<unsigned char> keys = Keys({kOpensslKey});
    struct Case {
        const char* what;
        std::string text;
    } cases[] = {
        {"another z.exe hash", Replace(good, "8e7392afe6", "8e7392afe7")},
        {"another wkp.zip hash", Replace(good, "e6405b957f", "f6405b957f")},
        {"another size", Replace(good, "wkp.zip 15", "wkp.zip 16")},
        {"another R", Replace(good, "signature 5047bd", "signature 5047be")},
        {"another S", Replace(good, "a3b5\n", "a3b6\n")},
        {"R and S swapped", kSignedLines +
                                "signature 0c3bdf977fd9864c95a8a75bc0a575e124da5136a1949290dc5dd722b09ca3b5 "
                                "5047bd7cf7c93585b447782afcf7ec8025fd1a0fd5941afd5d6dcda092a63578\n"},
        {"the other signer's R with this S",
         kSignedLines + "signature 893670baa2227411d3d6241c712a970d36ee8cdfb0bc7a50cef7657656032997 "
                        "0c3bdf977fd9864c95a8a75bc0a575e124da5136a1949290dc5dd722b09ca3b5\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Verdict(c.text, keys), 0) << c.what;
    }
    // The altered key does not verify either.
    std::string key = kOpensslKey;
    key[127] = key[127] == '0' ? '1' : '0';
    EXPECT_EQ(Verdict(good, Keys({key.c_str()})), 0);
}

class PackageFileTest : public testing::Test {
  protected:
    void SetUp() override { CreateDirectoryA(kFolder, NULL); }
    void TearDown() override { RemoveTree(kFolder); }
    static constexpr const char* kFolder = "C:\\tallywise-signature-test";
};

TEST_F(PackageFileTest, FilesMustMatchInSizeAndHash) {
    const std::string path = std::string(kFolder) + "\\z.exe";
    PackageSignature signature;
    ASSERT_EQ(Parse(kSignedLines + kOpensslSignature, &signature), 1);

    WriteFile(path, "MZ test extractor");
    EXPECT_EQ(CheckPackageFile(path.c_str(), &signature.extractor), 1);
    EXPECT_EQ(CheckPackageFile(path.c_str(), &signature.archive), 0);
    WriteFile(path, "MZ test extractoR");
    EXPECT_EQ(CheckPackageFile(path.c_str(), &signature.extractor), 0);
    WriteFile(path, "MZ test extractor!");
    EXPECT_EQ(CheckPackageFile(path.c_str(), &signature.extractor), 0);
    DeleteFileA(path.c_str());
    EXPECT_EQ(CheckPackageFile(path.c_str(), &signature.extractor), 0);

    // A file read in several chunks hashes as its bytes do.
    std::string large;
    for (int i = 0; i < 200000; ++i) {
        large += static_cast<char>(i * 7 + i / 251);
    }
    WriteFile(path, large);
    PackageFileEntry entry;
    unsigned char expected[PACKAGE_HASH_BYTES];
    ASSERT_EQ(HashPackageFile(path.c_str(), &entry), 1);
    ASSERT_EQ(HashBytes(large.data(), static_cast<unsigned long>(large.size()), expected), 1);
    EXPECT_EQ(entry.size, large.size());
    EXPECT_EQ(memcmp(entry.sha256, expected, PACKAGE_HASH_BYTES), 0);
}

TEST_F(PackageFileTest, SignatureFileIsReadAndVerifiedFromDisk) {
    const std::string path = std::string(kFolder) + "\\wkp.sig";
    std::vector<unsigned char> keys = Keys({kToolKey, kOpensslKey});
    PackageSignature signature;

    WriteFile(path, kSignedLines + kOpensslSignature);
    EXPECT_EQ(ReadPackageSignature(path.c_str(), keys.data(), 2, &signature), 1);
    EXPECT_EQ(ReadPackageSignature(path.c_str(), keys.data(), 1, &signature), 0);
    // A good file with anything behind it, even past the size limit, is no good.
    WriteFile(path, kSignedLines + kOpensslSignature + std::string(2000, '\n'));
    EXPECT_EQ(ReadPackageSignature(path.c_str(), keys.data(), 2, &signature), 0);
    DeleteFileA(path.c_str());
    EXPECT_EQ(ReadPackageSignature(path.c_str(), keys.data(), 2, &signature), 0);
}

}  // namespace
