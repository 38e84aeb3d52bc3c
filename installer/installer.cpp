#include "installer.h"

#include "platform/compose.h"
#include "platform/platform.h"
#include "retrieval/package_download.h"
#include "shortcuts/shortcuts.h"
#include "site_values.h"

#include <direct.h>
#include <io.h>

namespace {

const DWORD kRetryPauseMs = 1000;
const DWORD kStepPauseMs = 2000;

// Asks until a letter is typed; returns it upper-cased, or 0 when input ends.
char ReadDriveLetter() {
    for (;;) {
        SysPrint("Type the DRIVE LETTER (A-Z) and press the <ENTER KEY> on your keyboard -> ");
        char c = 0;
        if (!SysReadChar(&c)) {
            return 0;
        }
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 32);
        }
        if (c >= 'A' && c <= 'Z') {
            return c;
        }
    }
}

// Creates "%c:\Kestrow"; an existing folder counts as created.
int CreateInstallFolder(char drive) {
    char folder[16];
    ComposeText(folder, sizeof folder, "%c:\\Kestrow", drive);
    if (CreateDirectoryA(folder, NULL)) {
        return 1;
    }
    return GetLastError() == ERROR_ALREADY_EXISTS ? 1 : 0;
}

char ChooseInstallDrive() {
    for (;;) {
        SysPrint("Select a Disk Drive that you want to install Tallywise on\n\n");
        char drive = ReadDriveLetter();
        if (drive == 0) {
            SysPrint("\nNo drive letter was given; nothing was installed.\n");
            SysExit(EXIT_NO_DRIVE_LETTER);
        }
        if (CreateInstallFolder(drive)) {
            return drive;
        }
        SysPrint("\nUnable to Create the %c:\\Kestrow Folder, Disk is probably protected\n", drive);
    }
}

void UnpackPackage(char drive) {
    SysPrint("Uncompressing Tallywise Files to the %c:\\Kestrow folder\n", drive);
    SysSleep(kStepPauseMs);

    char command[96];
    ComposeText(command, sizeof command,
                "%c:\\Kestrow\\z.exe -extract -directories -overwrite %c:\\Kestrow\\wkp.zip %c:\\", drive,
                drive, drive);
    SysRunCommand(command);

    // An extractor that failed must not end in a "complete" installation, and the
    // downloaded archive stays for another try.
    if (GetFileAttributesA("\\Kestrow\\Tallywise.exe") == INVALID_FILE_ATTRIBUTES) {
        SysPrint(
            "\nTallywise could not be unpacked: %c:\\Kestrow\\Tallywise.exe is missing."
            " The downloaded archive is kept in the %c:\\Kestrow folder.\n",
            drive, drive);
        SysExit(EXIT_NOT_UNPACKED);
    }
    _unlink("\\Kestrow\\wkp.zip");
}

[[noreturn]] void LaunchApplication(char drive) {
    _chdrive(drive - 64);
    _chdir("\\Tallywise");

    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    PROCESS_INFORMATION process;
    char commandLine[] = "\\Kestrow\\Tallywise.exe";
    if (!SysCreateProcess(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        SysPrint("Unable to start %c:\\Kestrow\\Tallywise.exe (error %lu)\n", drive,
                 static_cast<unsigned long>(GetLastError()));
        SysExit(EXIT_LAUNCH_FAILED);
    }
    SysExit(0);
}

}  // namespace

void RunInstaller() {
    SysPrint("Welcome to the Tallywise Home Installation Program\n\n");
    SysPrint("Follow these directions to install Tallywise for Home use\n\n");

    char drive = ChooseInstallDrive();
    SysPrint("Tallywise Folder Created Sucessfully - %c:\\Kestrow \n", drive);
    _chdrive(drive - 64);

    SysPrint("Downloading the Tallywise Software from " TALLYWISE_WEB_DOMAIN "...Please Wait\n");
    while (!DownloadPackage()) {
        SysSleep(kRetryPauseMs);
    }

    UnpackPackage(drive);

    SysPrint("\n\nCreating Desktop and Start Menu Shortcuts\n");
    SysSleep(kStepPauseMs);
    PlaceShortcuts(drive);

    SysSleep(kStepPauseMs);
    SysPrint("Installation is Complete...Starting Tallywise\n");
    SysSleep(kStepPauseMs);

    LaunchApplication(drive);
}
