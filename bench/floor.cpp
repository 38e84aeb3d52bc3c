// The platform floor for the benchmark: the platform calls of one successful
// installation, in the installer's order, and nothing else: no dialogue, no
// pauses, no retries, no configuration file. The configuration GET, log in, log
// out and in again, PWD and CWD, both transfers, log out, the extractor through
// the command interpreter, the shell link written and copied to the desktop and
// the Start Menu, and the launch of the application.
//
//   bench-floor.exe DRIVE FTP_HOST FTP_USER FTP_PASSWORD
//
// It prints a line as each phase starts (download, unpack, shortcuts, launch),
// so that the benchmark times its phases as it times the installer's messages.
#include "retrieval/package_download.h"
#include "retrieval/web_fetch.h"
#include "site_values.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <wininet.h>

#include <direct.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

void Phase(const char* name) {
    printf("%s\n", name);
    fflush(stdout);
}

int Fail(const char* what) {
    fprintf(stderr, "bench-floor: %s failed\n", what);
    return 1;
}

HINTERNET Login(HINTERNET* internet, char** argv) {
    *internet = InternetOpenA(FTP_SESSION_AGENT, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    return *internet == NULL ? NULL
                             : InternetConnectA(*internet, argv[2], INTERNET_DEFAULT_FTP_PORT, argv[3],
                                                argv[4], INTERNET_SERVICE_FTP, INTERNET_FLAG_PASSIVE, 0);
}

void Logout(HINTERNET internet, HINTERNET ftp) {
    if (ftp != NULL) {
        InternetCloseHandle(ftp);
    }
    if (internet != NULL) {
        InternetCloseHandle(internet);
    }
}

// One file streamed to disk in the installer's chunks, complete on the server's 226.
int Fetch(HINTERNET ftp, const char* remote, const char* local) {
    HANDLE file = CreateFileA(local, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    HINTERNET source = FtpOpenFileA(ftp, remote, GENERIC_READ, PACKAGE_TRANSFER_FLAGS, 0);
    char chunk[65536];
    DWORD got = 0;
    DWORD written = 0;
    int ok = file != INVALID_HANDLE_VALUE && source != NULL;
    while (ok && InternetReadFile(source, chunk, sizeof chunk, &got) && got > 0) {
        ok = WriteFile(file, chunk, got, &written, NULL) && written == got;
    }
    if (source != NULL) {
        InternetCloseHandle(source);
    }
    char reply[256] = "";
    DWORD error = 0;
    DWORD length = sizeof reply;
    ok = ok && InternetGetLastResponseInfoA(&error, reply, &length) && strncmp(reply, "226", 3) == 0;
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return ok;
}

int Download(char** argv) {
    HINTERNET internet = InternetOpenA(FETCH_AGENT, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    HINTERNET request =
        internet == NULL ? NULL
                         : InternetOpenUrlA(internet, TALLYWISE_CONFIG_URL, NULL, 0, FETCH_FLAGS_VENDOR, 0);
    if (request == NULL) {
        return Fail("configuration request");
    }
    char body[1000];
    DWORD total = 0;
    DWORD got = 0;
    while (InternetReadFile(request, body + total, sizeof body - total, &got) && got != 0) {
        total += got;
    }
    InternetCloseHandle(request);
    InternetCloseHandle(internet);

    HINTERNET ftp = Login(&internet, argv);
    Logout(internet, ftp);
    ftp = Login(&internet, argv);
    char directory[100] = "";
    DWORD length = sizeof directory;
    int ok = ftp != NULL && FtpGetCurrentDirectoryA(ftp, directory, &length);
    directory[sizeof directory - 2] = '\0';
    size_t end = strlen(directory);
    if (end == 0 || directory[end - 1] != '/') {
        directory[end] = '/';
        directory[end + 1] = '\0';
    }
    ok = ok && FtpSetCurrentDirectoryA(ftp, directory) && Fetch(ftp, "z.exe", "\\Kestrow\\z.exe") &&
         Fetch(ftp, "wkp.zip", "\\Kestrow\\wkp.zip");
    Logout(internet, ftp);
    return ok ? 0 : Fail("login or transfer");
}

void WriteLink(char drive) {
    char target[32];
    char link[40];
    char description[40];
    char folder[16];
    snprintf(target, sizeof target, "%c:\\Kestrow\\Tallywise.exe", drive);
    snprintf(link, sizeof link, "%c:\\Kestrow\\Tallywise.exe.lnk", drive);
    snprintf(description, sizeof description, "Activates Tallywise on %c Drive", drive);
    snprintf(folder, sizeof folder, "%c:\\Kestrow", drive);

    CoInitialize(NULL);
    IShellLinkA* shellLink = NULL;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                   reinterpret_cast<void**>(&shellLink)))) {
        shellLink->SetPath(target);
        shellLink->SetDescription(description);
        shellLink->SetWorkingDirectory(folder);
        IPersistFile* file = NULL;
        if (SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
            WCHAR widePath[MAX_PATH];
            MultiByteToWideChar(CP_ACP, 0, link, -1, widePath, MAX_PATH);
            file->Save(widePath, TRUE);
            file->Release();
        }
        shellLink->Release();
    }
    CoUninitialize();

    char shellFolder[MAX_PATH];
    char path[MAX_PATH + 64];
    if (SHGetSpecialFolderPathA(NULL, shellFolder, CSIDL_DESKTOP, FALSE)) {
        snprintf(path, sizeof path, "%s\\%c-Tallywise.exe.lnk", shellFolder, drive);
        _unlink(path);
        CopyFileA(link, path, FALSE);
    }
    if (SHGetSpecialFolderPathA(NULL, shellFolder, CSIDL_PROGRAMS, FALSE)) {
        snprintf(path, sizeof path, "%s\\Brindlecove", shellFolder);
        CreateDirectoryA(path, NULL);
        snprintf(path, sizeof path, "%s\\Brindlecove\\Tallywise.exe", shellFolder);
        _unlink(path);
        snprintf(path, sizeof path, "%s\\Brindlecove\\%c-Tallywise.exe.lnk", shellFolder, drive);
        _unlink(path);
        CopyFileA(link, path, FALSE);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 || argv[1][0] < 'A' || argv[1][0] > 'Z') {
        fprintf(stderr, "usage: bench-floor DRIVE FTP_HOST FTP_USER FTP_PASSWORD (DRIVE upper case)\n");
        return 2;
    }
    char drive = argv[1][0];
    _chdrive(drive - 64);

    Phase("download");
    if (Download(argv) != 0) {
        return 1;
    }

    Phase("unpack");
    char command[96];
    snprintf(command, sizeof command,
             "%c:\\Kestrow\\z.exe -extract -directories -overwrite %c:\\Kestrow\\wkp.zip %c:\\", drive, drive,
             drive);
    system(command);
    _unlink("\\Kestrow\\wkp.zip");

    Phase("shortcuts");
    WriteLink(drive);

    Phase("launch");
    _chdrive(drive - 64);
    _chdir("\\Tallywise");
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    PROCESS_INFORMATION process;
    char commandLine[] = "\\Kestrow\\Tallywise.exe";
    if (!CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        return Fail("launch");
    }
    return 0;
}
