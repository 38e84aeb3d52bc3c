// The installer's dialogue and phase sequence, with both phases replaced.
#include "installer/installer.h"
#include "retrieval/package_download.h"
#include "shortcuts/shortcuts.h"
#include "site_values.h"

#include "fake_platform.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <direct.h>

namespace {

int downloadFailures = 0;

const std::string kPrompt = "Type the DRIVE LETTER (A-Z) and press the <ENTER KEY> on your keyboard -> ";
const std::string kSelect = "Select a Disk Drive that you want to install Tallywise on\n\n";
const std::string kGreeting =
    "Welcome to the Tallywise Home Installation Program\n\n"
    "Follow these directions to install Tallywise for Home use\n\n";

}  // namespace

// The download phase: fails as often as scripted, then leaves the package in place.
short DownloadPackage() {
    fake.events.push_back("download");
    if (downloadFailures > 0) {
        --downloadFailures;
        return 0;
    }
    WriteFile("\\Kestrow\\z.exe", "extractor");
    WriteFile("\\Kestrow\\wkp.zip", "archive");
    return 1;
}

void PlaceShortcuts(char drive) { fake.events.push_back(std::string("shortcuts ") + drive); }

namespace {

class InstallerTest : public testing::Test {
  protected:
    void SetUp() override {
        ResetFake();
        downloadFailures = 0;
        _chdir("C:\\");
        RemoveTree("C:\\Kestrow");
        RemoveTree("C:\\Tallywise");
        // A working extractor unpacks the application and its folder.
        fake.onCommand = [](const char*) {
            WriteFile("\\Kestrow\\Tallywise.exe", "application");
            CreateDirectoryA("\\Tallywise", NULL);
            return 0;
        };
    }
    void TearDown() override {
        _chdir("C:\\");
        RemoveTree("C:\\Kestrow");
        RemoveTree("C:\\Tallywise");
    }

    int Run(const std::string& input) {
        fake.input = input;
        try {
            RunInstaller();
        } catch (const FakeExit& exit) {
            return exit.status;
        }
        ADD_FAILURE() << "the installer returned instead of ending the process";
        return -1;
    }

    // The steps between the dialogue and the end, without the messages.
    static std::vector<std::string> Steps() {
        std::vector<std::string> steps;
        for (const std::string& event : fake.events) {
            if (event.rfind("print", 0) != 0 && event.rfind("read", 0) != 0) {
                steps.push_back(event);
            }
        }
        return steps;
    }
};

TEST_F(InstallerTest, LowerCaseAnswerRunsTheWholeInstallation) {
    EXPECT_EQ(Run("c\n"), 0);

    EXPECT_EQ(fake.transcript, kGreeting + kSelect + kPrompt +
                                   "Tallywise Folder Created Sucessfully - C:\\Kestrow \n"
                                   "Downloading the Tallywise Software from " TALLYWISE_WEB_DOMAIN
                                   "...Please Wait\n"
                                   "Uncompressing Tallywise Files to the C:\\Kestrow folder\n"
                                   "\n\nCreating Desktop and Start Menu Shortcuts\n"
                                   "Installation is Complete...Starting Tallywise\n");
    EXPECT_EQ(
        Steps(),
        (std::vector<std::string>{
            "download", "sleep 2000",
            "run C:\\Kestrow\\z.exe -extract -directories -overwrite C:\\Kestrow\\wkp.zip C:\\", "sleep 2000",
            "shortcuts C", "sleep 2000", "sleep 2000", "launch \\Kestrow\\Tallywise.exe", "exit 0"}));
    // The line end behind the letter is left unread.
    EXPECT_EQ(fake.inputRead, 1u);

    EXPECT_TRUE(FileExists("C:\\Kestrow\\z.exe"));
    EXPECT_FALSE(FileExists("C:\\Kestrow\\wkp.zip"));
    EXPECT_EQ(fake.launchDirectory, "C:\\Tallywise");
    EXPECT_EQ(fake.launchArguments,
              (std::vector<std::string>{"no application name", "no process attributes",
                                        "no thread attributes", "no inheritance", "flags 0",
                                        "own environment", "no directory", "startup info filled"}));
}

TEST_F(InstallerTest, ExistingInstallFolderIsAccepted) {
    ASSERT_TRUE(CreateDirectoryA("C:\\Kestrow", NULL));
    WriteFile("C:\\Kestrow\\old.txt", "kept");

    EXPECT_EQ(Run("C\n"), 0);

    EXPECT_NE(fake.transcript.find("Tallywise Folder Created Sucessfully - C:\\Kestrow \n"),
              std::string::npos);
    EXPECT_EQ(ReadFile("C:\\Kestrow\\old.txt"), "kept");
}

struct PromptCase {
    const char* input;
    int prompts;  // printed before the letter is accepted
};

class RejectedInputTest : public InstallerTest, public testing::WithParamInterface<PromptCase> {};

TEST_P(RejectedInputTest, EveryCharacterThatIsNoLetterAsksAgain) {
    EXPECT_EQ(Run(GetParam().input), 0);

    std::string prompts;
    for (int i = 0; i < GetParam().prompts; ++i) {
        prompts += kPrompt;
    }
    EXPECT_EQ(fake.transcript.substr(0, fake.transcript.find("Tallywise Folder")),
              kGreeting + kSelect + prompts);
    EXPECT_NE(fake.transcript.find("C:\\Kestrow"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Answers, RejectedInputTest,
                         testing::Values(PromptCase{"1c\n", 2},    // digit, then the letter on the same line
                                         PromptCase{"\nc\n", 2},   // an empty line
                                         PromptCase{" @[`{c", 6},  // blanks and the neighbours of the letters
                                         PromptCase{"\n\n\nc", 4}));

TEST_F(InstallerTest, FolderThatCannotBeCreatedAsksForAnotherDrive) {
    char bad = UnmappedDrive();
    ASSERT_NE(bad, 0);

    EXPECT_EQ(Run(std::string(1, static_cast<char>(bad + 32)) + "\nc\n"), 0);

    std::string failed =
        std::string("\nUnable to Create the ") + bad + ":\\Kestrow Folder, Disk is probably protected\n";
    // The line end left behind the first answer makes the prompt show twice on one line.
    EXPECT_EQ(fake.transcript.substr(0, fake.transcript.find("Tallywise Folder")),
              kGreeting + kSelect + kPrompt + failed + kSelect + kPrompt + kPrompt);
    EXPECT_EQ(EventsStartingWith("shortcuts"), std::vector<std::string>{"shortcuts C"});
}

TEST_F(InstallerTest, LetterAfterAFailedDriveIsTakenWithoutWaiting) {
    char bad = UnmappedDrive();
    ASSERT_NE(bad, 0);

    EXPECT_EQ(Run(std::string(1, bad) + "c\n"), 0);

    std::string failed =
        std::string("\nUnable to Create the ") + bad + ":\\Kestrow Folder, Disk is probably protected\n";
    EXPECT_EQ(fake.transcript.substr(0, fake.transcript.find("Tallywise Folder")),
              kGreeting + kSelect + kPrompt + failed + kSelect + kPrompt);
}

TEST_F(InstallerTest, DownloadIsRetriedAfterOneSecondUntilItSucceeds) {
    downloadFailures = 3;

    EXPECT_EQ(Run("c\n"), 0);

    std::vector<std::string> steps = Steps();
    EXPECT_EQ(std::vector<std::string>(steps.begin(), steps.begin() + 8),
              (std::vector<std::string>{"download", "sleep 1000", "download", "sleep 1000", "download",
                                        "sleep 1000", "download", "sleep 2000"}));
    size_t downloading = fake.transcript.find("Downloading the Tallywise Software");
    EXPECT_NE(downloading, std::string::npos);
    EXPECT_EQ(fake.transcript.find("Downloading", downloading + 1), std::string::npos);
    // The unpack message follows the fourth attempt.
    auto uncompressing = std::find(fake.events.begin(), fake.events.end(),
                                   "print Uncompressing Tallywise Files to the C:\\Kestrow folder\n");
    EXPECT_EQ(std::count(fake.events.begin(), uncompressing, "download"), 4);
}

TEST_F(InstallerTest, EndOfInputEndsWithoutInstallingAnything) {
    for (const char* input : {"", "1\n"}) {
        ResetFake();
        EXPECT_EQ(Run(input), EXIT_NO_DRIVE_LETTER) << input;
        EXPECT_EQ(Steps(), std::vector<std::string>{"exit 1"});
        EXPECT_EQ(fake.transcript.substr(fake.transcript.rfind(kPrompt) + kPrompt.size()),
                  "\nNo drive letter was given; nothing was installed.\n");
        EXPECT_FALSE(FileExists("C:\\Kestrow"));
    }
}

TEST_F(InstallerTest, ExtractionThatLeavesNoApplicationKeepsTheArchive) {
    fake.onCommand = [](const char*) { return 0; };

    EXPECT_EQ(Run("c\n"), EXIT_NOT_UNPACKED);

    EXPECT_TRUE(FileExists("C:\\Kestrow\\wkp.zip"));
    EXPECT_TRUE(EventsStartingWith("shortcuts").empty());
    EXPECT_TRUE(EventsStartingWith("launch").empty());
    EXPECT_EQ(fake.transcript.find("Installation is Complete"), std::string::npos);
    EXPECT_NE(fake.transcript.find("C:\\Kestrow folder"), std::string::npos);
    EXPECT_EQ(fake.transcript.substr(fake.transcript.rfind("Uncompressing")),
              "Uncompressing Tallywise Files to the C:\\Kestrow folder\n"
              "\nTallywise could not be unpacked: C:\\Kestrow\\Tallywise.exe is missing."
              " The downloaded archive is kept in the C:\\Kestrow folder.\n");
}

TEST_F(InstallerTest, ExtractorStatusIsIgnoredWhenTheApplicationArrived) {
    auto unpack = fake.onCommand;
    fake.onCommand = [unpack](const char* command) {
        unpack(command);
        return 1;
    };
    EXPECT_EQ(Run("c\n"), 0);
}

TEST_F(InstallerTest, LaunchThatFailsIsReported) {
    fake.launchFails = true;

    EXPECT_EQ(Run("c\n"), EXIT_LAUNCH_FAILED);

    EXPECT_EQ(fake.transcript.substr(fake.transcript.rfind("Installation is Complete")),
              "Installation is Complete...Starting Tallywise\n"
              "Unable to start C:\\Kestrow\\Tallywise.exe (error 2)\n");
}

}  // namespace
