// Loading the FTP account from the site configuration: the fetch and its retries,
// the stored copy, the line rules and the decoding.
#include "retrieval/site_config.h"
#include "retrieval/web_fetch.h"
#include "site_values.h"

#include "fake_platform.h"
#include "site_body.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <direct.h>
#include <cstring>
#include <random>

namespace {

const char kStored[] = "C:\\Kestrow\\meterobj.txt";

class SiteConfigTest : public testing::Test {
  protected:
    void SetUp() override {
        ResetFake();
        g_internetHandle = NULL;
        // The install drive is current and its folder exists.
        _chdrive(3);
        CreateDirectoryA("C:\\Kestrow", NULL);
        _unlink(kStored);
        SetFields("old user", "old password", "old host");
        user_ = Encodable("ftp-user");
        password_ = Encodable("Pa$$ w0rd!");
        host_ = Encodable("files.example.net");
    }
    void TearDown() override { RemoveTree("C:\\Kestrow"); }

    static void SetFields(const char* user, const char* password, const char* host) {
        snprintf(g_siteConfig.ftpUser, SITE_FIELD_SIZE, "%s", user);
        snprintf(g_siteConfig.ftpPassword, SITE_FIELD_SIZE, "%s", password);
        snprintf(g_siteConfig.ftpHost, SITE_FIELD_SIZE, "%s", host);
    }
    static std::vector<std::string> Fields() {
        return {g_siteConfig.ftpUser, g_siteConfig.ftpPassword, g_siteConfig.ftpHost};
    }
    std::vector<std::string> Expected() const { return {user_, password_, host_}; }

    void Load(const std::string& body) {
        fake.bodies = {body};
        LoadSiteConfig();
    }

    std::string user_, password_, host_;
};

TEST_F(SiteConfigTest, DecodesTheAccountFromLinesTwoToFour) {
    Load(ConfigBody(user_, password_, host_));

    EXPECT_EQ(Fields(), Expected());
    ASSERT_EQ(fake.requests.size(), 1u);
    EXPECT_EQ(fake.requests[0].url, TALLYWISE_CONFIG_URL);
    EXPECT_EQ(fake.requests[0].flags, FETCH_FLAGS_VENDOR);
    EXPECT_EQ(fake.requests[0].agent, "TallywiseInstallProgram");
    EXPECT_FALSE(FileExists(kStored));
    EXPECT_EQ(fake.transcript, "");
}

TEST_F(SiteConfigTest, EveryByteTheFileCanCarrySurvivesTheRoundTrip) {
    std::string edge = Encodable("m");
    for (int byte = 1; byte < 256; ++byte) {
        std::string plain = edge + static_cast<char>(byte) + edge;
        char line[4];
        memcpy(line, plain.c_str(), 4);
        int encoded = (byte + TALLYWISE_CONFIG_KEY) % 256;
        bool carried = encoded != 0x00 && encoded != 0x0A && encoded != 0x1A;
        ASSERT_EQ(EncodeConfigLine(line), carried ? 1 : 0) << byte;
        if (carried) {
            EXPECT_EQ(static_cast<unsigned char>(line[1]), encoded);
            DecodeConfigLine(line);
            EXPECT_EQ(std::string(line), plain);
        }
    }
}

TEST_F(SiteConfigTest, EncoderRefusesWhatTheFileCannotCarry) {
    char tooLong[SITE_FIELD_SIZE];
    snprintf(tooLong, sizeof tooLong, "%s", std::string(SITE_LINE_MAX + 1, 'a').c_str());
    EXPECT_EQ(EncodeConfigLine(tooLong), 0);
    EXPECT_EQ(std::string(tooLong), std::string(SITE_LINE_MAX + 1, 'a'));

    for (int encoded : {0x00, 0x0A, 0x1A}) {
        char line[4] = {'a', static_cast<char>((encoded - TALLYWISE_CONFIG_KEY + 256) % 256), 'a', '\0'};
        if (line[1] != '\0') {
            EXPECT_EQ(EncodeConfigLine(line), 0) << encoded;
        }
    }
    // A CR at the very end would merge with the line end.
    char endsInCr[3] = {'a', static_cast<char>((0x0D - TALLYWISE_CONFIG_KEY + 256) % 256), '\0'};
    if (endsInCr[1] != '\0') {
        EXPECT_EQ(EncodeConfigLine(endsInCr), 0);
    }
}

TEST_F(SiteConfigTest, CrLfAndLfFilesGiveTheSameAccount) {
    Load(ConfigBody(user_, password_, host_, "\r\n"));
    EXPECT_EQ(Fields(), Expected());

    Load(ConfigBody(user_, password_, host_, "\n"));
    EXPECT_EQ(Fields(), Expected());
}

TEST_F(SiteConfigTest, LineOf126CharactersIsReadWholeAnd127StopsTheReading) {
    std::string longest = Encodable(std::string(SITE_LINE_MAX, 'u'));
    for (const char* end : {"\n", "\r\n"}) {
        SetFields("old user", "old password", "old host");
        Load("one" + std::string(end) + Encoded(longest) + end + Encoded(password_) + end + Encoded(host_) +
             end);
        EXPECT_EQ(Fields(), (std::vector<std::string>{longest, password_, host_})) << "line end " << end[0];
    }

    SetFields("old user", "old password", "old host");
    std::string tooLong = Encoded(Encodable(std::string(SITE_LINE_MAX, 'u'))) + "v";
    Load("one\n" + tooLong + "\n" + Encoded(password_) + "\n" + Encoded(host_) + "\n");
    // The area holds the first 127 characters as read, still encoded; nothing later is read.
    EXPECT_EQ(Fields(), (std::vector<std::string>{tooLong.substr(0, 127), "old password", "old host"}));
}

TEST_F(SiteConfigTest, LineWithoutLineEndStaysEncodedAndLaterFieldsKeepTheirContents) {
    std::string body = ConfigBody(user_, password_, host_);
    std::string upToHost = body.substr(0, body.find(Encoded(host_)) + Encoded(host_).size());
    Load(upToHost);
    EXPECT_EQ(Fields(), (std::vector<std::string>{user_, password_, Encoded(host_)}));

    SetFields("old user", "old password", "old host");
    Load("one\n" + Encoded(user_) + "\n");
    EXPECT_EQ(Fields(), (std::vector<std::string>{user_, "old password", "old host"}));
}

TEST_F(SiteConfigTest, EndOfDataMarkEndsTheFile) {
    std::string body = ConfigBody(user_, password_, host_);
    size_t password = body.find(Encoded(password_));
    Load(body.substr(0, password + 2) + "\x1A" + body.substr(password + 2));
    EXPECT_EQ(Fields(), (std::vector<std::string>{user_, Encoded(password_).substr(0, 2), "old host"}));
}

TEST_F(SiteConfigTest, OnlyTheFirstThousandBytesCount) {
    std::string body = ConfigBody(user_, password_, host_);
    Load(body + std::string(3000, 'x'));
    EXPECT_EQ(Fields(), Expected());
}

TEST_F(SiteConfigTest, OlderStoredCopyIsNeverReadAsPartOfTheAccount) {
    // An earlier, longer file that the new body does not cover to its end.
    std::string older =
        ConfigBody(Encodable("stale-user"), Encodable("stale-password"), Encodable("stale.host"));
    WriteFile(kStored, older + std::string(500, 'z'));

    Load("one\n" + Encoded(user_) + "\n");

    EXPECT_EQ(Fields(), (std::vector<std::string>{user_, "old password", "old host"}));
    EXPECT_FALSE(FileExists(kStored));
}

TEST_F(SiteConfigTest, UnreachableWebHostIsRetriedEveryFiveSeconds) {
    fake.openUrlFailures = 2;
    fake.bodies = {"", ConfigBody(user_, password_, host_)};

    LoadSiteConfig();

    const std::string failed =
        "Tallywise Installer cannot access the Brindlecove WebSite\nYou may not be connected to the "
        "internet\n\n";
    // Two unopened URLs, then an empty body: three failures, then the account.
    EXPECT_EQ(fake.transcript, failed + failed + failed);
    EXPECT_EQ(EventsStartingWith("sleep"),
              (std::vector<std::string>{"sleep 5000", "sleep 5000", "sleep 5000"}));
    EXPECT_EQ(fake.requests.size(), 4u);
    EXPECT_EQ(Fields(), Expected());
}

TEST_F(SiteConfigTest, ErrorPageIsTakenAsTheConfigurationFile) {
    Load("<html>\n<head><title>404 Not Found</title></head>\n<body>\n</body>\n</html>\n");
    std::vector<std::string> fields = Fields();
    std::string title = "<head><title>404 Not Found</title></head>";
    DecodeConfigLine(&title[0]);
    EXPECT_EQ(fields[0], std::string(title.c_str()));  // a decoded byte may be NUL
    EXPECT_FALSE(FileExists(kStored));
}

TEST_F(SiteConfigTest, RandomBodiesNeverBreakTheFields) {
    std::mt19937 random(20261209);
    const char pieces[] = {'\n', '\r', '\x1A', '\0', 'a'};
    for (int round = 0; round < 10000; ++round) {
        // An empty body is a failed fetch, retried without end: every body has a byte.
        std::string body(1 + random() % 2000, '\0');
        for (char& c : body) {
            // Mostly plain bytes, with line ends and special bytes sprinkled in.
            c = random() % 8 == 0 ? pieces[random() % 5] : static_cast<char>(random() % 256);
        }
        if (random() % 4 == 0) {
            for (size_t at = random() % 140; at < body.size(); at += 1 + random() % 140) {
                body[at] = '\n';
            }
        }
        fake.bodies = {body};
        LoadSiteConfig();

        for (const char* field : {g_siteConfig.ftpUser, g_siteConfig.ftpPassword, g_siteConfig.ftpHost}) {
            ASSERT_NE(memchr(field, '\0', SITE_FIELD_SIZE), nullptr) << "round " << round;
        }
    }
    EXPECT_FALSE(FileExists(kStored));
}

TEST(WriteFileRecordTest, WritesRecordsInPlaceWithoutTruncating) {
    const std::string path = "C:\\record-test.bin";
    WriteFile(path, "0123456789abcdef");

    EXPECT_EQ(WriteFileRecord(path.c_str(), "XYZ", 1, 3), 3);
    EXPECT_EQ(ReadFile(path), "XYZ3456789abcdef");
    EXPECT_EQ(WriteFileRecord(path.c_str(), "\n\n", 3, 2), 2);
    EXPECT_EQ(ReadFile(path), "XYZ3\n\n6789abcdef");

    _unlink(path.c_str());
    EXPECT_EQ(WriteFileRecord("C:\\no such folder\\x.bin", "x", 1, 1), -1);
}

}  // namespace
