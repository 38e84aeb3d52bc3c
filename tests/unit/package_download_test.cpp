// One download attempt: the logins, the handle slots after every outcome, the
// login directory and the two transfers.
#include "retrieval/package_download.h"
#include "retrieval/site_config.h"
#include "retrieval/web_fetch.h"
#include "site_values.h"

#include "fake_platform.h"
#include "site_body.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <direct.h>

#include <cstring>

namespace {

const std::string kNoInternet = "You Are not Connected to the Internet\n";
const std::string kNoAccess = "Unable to access " TALLYWISE_WEB_HOST "...check your internet connection\n";

class PackageDownloadTest : public testing::Test {
  protected:
    void SetUp() override {
        ResetFake();
        g_internetHandle = NULL;
        g_ftpConnection = NULL;
        _chdrive(3);
        CreateDirectoryA("C:\\Kestrow", NULL);
        user_ = Encodable("tally");
        password_ = Encodable("secret");
        host_ = Encodable("ftp.example.org");
        fake.bodies = {ConfigBody(user_, password_, host_)};
    }
    void TearDown() override { RemoveTree("C:\\Kestrow"); }

    std::string user_, password_, host_;
};

TEST_F(PackageDownloadTest, SuccessfulAttemptLogsInTwiceCopiesBothFilesAndClosesAll) {
    fake.loginDirectory = "/pub";

    EXPECT_EQ(DownloadPackage(), 1);

    EXPECT_EQ(fake.transcript, "");
    ASSERT_EQ(fake.logins.size(), 2u);
    for (const FakeLogin& login : fake.logins) {
        EXPECT_EQ(login.host, host_);
        EXPECT_EQ(login.user, user_);
        EXPECT_EQ(login.password, password_);
        EXPECT_EQ(login.port, 21);
        EXPECT_EQ(login.service, static_cast<DWORD>(INTERNET_SERVICE_FTP));
        EXPECT_EQ(login.flags, 0x08000000u);
        EXPECT_EQ(fake.handles[login.internet].agent, "TallywiseInstallation");
    }
    EXPECT_EQ(fake.directoryChanges, std::vector<std::string>{"/pub/"});
    ASSERT_EQ(fake.transfers.size(), 2u);
    EXPECT_EQ(fake.transfers[0].remote, "z.exe");
    EXPECT_EQ(fake.transfers[1].remote, "wkp.zip");
    for (const FakeTransfer& transfer : fake.transfers) {
        EXPECT_EQ(transfer.connection, fake.logins[1].connection);
        EXPECT_EQ(transfer.access, static_cast<DWORD>(GENERIC_READ));
        EXPECT_EQ(transfer.flags, 0x84000800u);
        EXPECT_EQ(transfer.restart, 0u);
    }
    EXPECT_EQ(ReadFile("\\Kestrow\\z.exe"), fake.remoteFiles["z.exe"]);
    EXPECT_EQ(ReadFile("\\Kestrow\\wkp.zip"), fake.remoteFiles["wkp.zip"]);
    EXPECT_TRUE(fake.ftpCommands.empty());  // no REST, nor anything else, in a build without keys
    // Configuration, login, logout, login, transfers, logout.
    EXPECT_EQ(fake.events,
              (std::vector<std::string>{
                  "open TallywiseInstallProgram h1", "url " TALLYWISE_CONFIG_URL " on h1", "close h2",
                  "close h1", "open TallywiseInstallation h3", "login h4", "close h4", "close h3",
                  "open TallywiseInstallation h5", "login h6", "pwd h6", "cd h6 /pub/", "get h6 z.exe",
                  "close h7", "get h6 wkp.zip", "close h8", "close h6", "close h5"}));
    EXPECT_EQ(g_internetHandle, nullptr);
    EXPECT_EQ(g_ftpConnection, nullptr);
    EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST_F(PackageDownloadTest, LoginDirectoryIsEnteredWithATrailingSlash) {
    struct {
        std::string reported, entered;
    } cases[] = {
        {"/", "/"},
        {"/pub", "/pub/"},
        {"", "/"},
        {"/" + std::string(97, 'd'), "/" + std::string(97, 'd') + "/"},
        // No room for the slash behind 99 characters: entered as reported.
        {"/" + std::string(98, 'd'), "/" + std::string(98, 'd')},
        {"/" + std::string(97, 'd') + "/", "/" + std::string(97, 'd') + "/"},
    };
    for (const auto& c : cases) {
        ResetFake();
        fake.bodies = {ConfigBody(user_, password_, host_)};
        fake.loginDirectory = c.reported;
        EXPECT_EQ(DownloadPackage(), 1) << c.reported;
        EXPECT_EQ(fake.directoryChanges, std::vector<std::string>{c.entered});
    }
}

TEST_F(PackageDownloadTest, FailedLoginWaitsAndLeavesNothingOpen) {
    fake.failingLogins = {1};

    EXPECT_EQ(DownloadPackage(), 0);

    EXPECT_EQ(fake.transcript, kNoInternet + "You are NOT ONLINE\n");
    EXPECT_EQ(fake.sleptMs, 4000u);
    EXPECT_EQ(g_internetHandle, nullptr);
    EXPECT_EQ(g_ftpConnection, nullptr);
    EXPECT_EQ(fake.OpenHandles(), 0);
    EXPECT_TRUE(fake.transfers.empty());
}

TEST_F(PackageDownloadTest, FailedInternetOpenKeepsAnEarlierConnectionInItsSlot) {
    HINTERNET earlier = fake.NewHandle("ftp", "TallywiseInstallation");
    g_ftpConnection = earlier;
    fake.failingInternetOpens = {2};  // the one after the configuration fetch

    EXPECT_EQ(DownloadPackage(), 0);

    EXPECT_EQ(fake.transcript, kNoInternet + "You are NOT ONLINE\n");
    EXPECT_EQ(fake.sleptMs, 4000u);
    EXPECT_EQ(g_internetHandle, nullptr);
    EXPECT_EQ(g_ftpConnection, earlier);
}

TEST_F(PackageDownloadTest, FailedReconnectEndsAtTheDirectoryQuery) {
    fake.failingLogins = {2};

    EXPECT_EQ(DownloadPackage(), 0);

    EXPECT_EQ(fake.transcript, kNoInternet + kNoAccess);
    EXPECT_EQ(EventsStartingWith("pwd"), std::vector<std::string>{"pwd none"});
    EXPECT_EQ(g_internetHandle, nullptr);
    EXPECT_EQ(g_ftpConnection, nullptr);
    EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST_F(PackageDownloadTest, FailedDirectoryStepsAreReportedAsNoAccess) {
    for (int step = 0; step < 2; ++step) {
        ResetFake();
        fake.bodies = {ConfigBody(user_, password_, host_)};
        fake.directoryQueryFails = step == 0;
        fake.directoryChangeFails = step == 1;
        EXPECT_EQ(DownloadPackage(), 0);
        EXPECT_EQ(fake.transcript, kNoAccess);
        EXPECT_TRUE(fake.transfers.empty());
        g_internetHandle = NULL;
        g_ftpConnection = NULL;
    }
}

TEST_F(PackageDownloadTest, FailedTransferKeepsTheReconnectOpenForTheNextAttempt) {
    fake.missingFiles = {"wkp.zip"};

    EXPECT_EQ(DownloadPackage(), 0);

    EXPECT_EQ(fake.transcript, kNoAccess);
    ASSERT_EQ(fake.logins.size(), 2u);
    HINTERNET leftSession = fake.logins[1].internet;
    HINTERNET leftConnection = fake.logins[1].connection;
    EXPECT_EQ(g_internetHandle, leftSession);
    EXPECT_EQ(g_ftpConnection, leftConnection);
    EXPECT_EQ(fake.OpenHandles(), 2);

    // The next attempt fetches the configuration on the left-over session, closes
    // it, and its login replaces the old connection without closing it.
    fake.missingFiles.clear();
    fake.events.clear();
    EXPECT_EQ(DownloadPackage(), 1);

    ASSERT_EQ(fake.requests.size(), 2u);
    EXPECT_EQ(fake.requests[1].internet, leftSession);
    EXPECT_EQ(fake.requests[1].agent, "TallywiseInstallation");
    EXPECT_EQ(fake.events[0], "url " TALLYWISE_CONFIG_URL " on " + fake.Name(leftSession));
    EXPECT_EQ(fake.events[2], "close " + fake.Name(leftSession));
    EXPECT_EQ(fake.events[3].rfind("open TallywiseInstallation", 0), 0u);
    EXPECT_TRUE(fake.handles[leftConnection].open);
    EXPECT_EQ(std::count(fake.events.begin(), fake.events.end(), "close " + fake.Name(leftConnection)), 0);
    EXPECT_EQ(fake.transfers.size(), 4u);  // both files copied again
}

TEST_F(PackageDownloadTest, ModesOtherThanLoadAndDisconnectReconnect) {
    for (short mode : {short(SITE_RECONNECT), short(0), short(7)}) {
        ResetFake();
        g_internetHandle = fake.NewHandle("internet", "TallywiseInstallation");
        g_ftpConnection = fake.NewHandle("ftp", "TallywiseInstallation");

        EXPECT_EQ(ConnectSite(mode), 1) << mode;

        EXPECT_TRUE(fake.requests.empty()) << mode;
        EXPECT_EQ(fake.events, (std::vector<std::string>{"close h2", "close h1",
                                                         "open TallywiseInstallation h3", "login h4"}))
            << mode;
    }

    EXPECT_EQ(ConnectSite(SITE_DISCONNECT), 1);
    EXPECT_EQ(g_internetHandle, nullptr);
    EXPECT_EQ(g_ftpConnection, nullptr);
    EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST_F(PackageDownloadTest, FailedInternetOpenOnReconnectEmptiesBothSlots) {
    g_internetHandle = fake.NewHandle("internet", "TallywiseInstallation");
    g_ftpConnection = fake.NewHandle("ftp", "TallywiseInstallation");
    fake.failingInternetOpens = {1};

    EXPECT_EQ(ConnectSite(SITE_RECONNECT), 0);

    EXPECT_EQ(fake.transcript, kNoInternet);
    EXPECT_EQ(fake.sleptMs, 4000u);
    EXPECT_EQ(g_internetHandle, nullptr);
    EXPECT_EQ(g_ftpConnection, nullptr);
}

TEST_F(PackageDownloadTest, ACutTransferIsNoAccessAndTheNextAttemptStartsAtTheFirstByte) {
    // A reset makes a read fail; a clean close looks like the end of the file,
    // and only the server's 426 in place of 226 tells.
    for (bool reset : {true, false}) {
        SetUp();
        fake.remoteFiles["wkp.zip"] = std::string(500, 'z');
        fake.cuts["wkp.zip"] = FakeCut{200, 1, reset};

        EXPECT_EQ(DownloadPackage(), 0) << reset;
        EXPECT_EQ(fake.transcript, kNoAccess) << reset;
        EXPECT_FALSE(FileExists("C:\\Kestrow\\wkp.zip")) << reset;

        fake.bodies = {ConfigBody(user_, password_, host_)};
        EXPECT_EQ(DownloadPackage(), 1) << reset;
        EXPECT_EQ(ReadFile("C:\\Kestrow\\wkp.zip"), std::string(500, 'z')) << reset;
        for (const FakeTransfer& transfer : fake.transfers) {
            EXPECT_EQ(transfer.restart, 0u) << reset;
        }
        EXPECT_TRUE(fake.ftpCommands.empty()) << reset;
        g_internetHandle = NULL;
        g_ftpConnection = NULL;
    }
}

TEST_F(PackageDownloadTest, ProgressIsShownOnAConsoleOnlyAndErasedAfterwards) {
    for (bool console : {true, false}) {
        SetUp();
        fake.console = console;
        fake.tickStep = 100;  // a quarter of a second passes every few reads
        fake.remoteFiles["wkp.zip"] = std::string(300, 'z');

        EXPECT_EQ(DownloadPackage(), 1);

        EXPECT_EQ(fake.transcript, "");
        if (!console) {
            EXPECT_EQ(fake.consoleText, "");
            continue;
        }
        // A build without keys knows no total: the bytes received.
        EXPECT_EQ(fake.consoleText.rfind("\rwkp.zip  0.0 MB", 0), 0u) << fake.consoleText;
        size_t erase = fake.consoleText.rfind('\r', fake.consoleText.size() - 2);
        EXPECT_EQ(fake.consoleText.substr(erase), "\r" + std::string(strlen("wkp.zip  0.0 MB"), ' ') + "\r");
    }
}

}  // namespace
