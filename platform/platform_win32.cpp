// The real platform: each procedure is the Windows call it stands for.
#include "platform.h"

#include <shlobj.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

void SysPrint(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    // A wrapper reading a pipe must see each message, and the prompt before the read waits.
    fflush(stdout);
}

// getchar, not scanf("%c"): the run-time's scanf reads one character ahead, so the
// last key typed would only be judged once the next one arrives.
int SysReadChar(char* c) {
    int got = getchar();
    if (got == EOF) {
        return 0;
    }
    *c = static_cast<char>(got);
    return 1;
}

int SysOutputIsConsole() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) ? 1 : 0;
}

void SysWriteConsole(const char* text, DWORD length) {
    DWORD written = 0;
    WriteConsoleA(GetStdHandle(STD_OUTPUT_HANDLE), text, length, &written, NULL);
}

void SysSleep(DWORD milliseconds) { Sleep(milliseconds); }

DWORD SysTickCount() { return GetTickCount(); }

int SysRunCommand(const char* command) {
    fflush(stdout);
    return system(command);
}

BOOL SysCreateProcess(const char* applicationName, char* commandLine, SECURITY_ATTRIBUTES* processAttributes,
                      SECURITY_ATTRIBUTES* threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                      void* environment, const char* currentDirectory, STARTUPINFOA* startupInfo,
                      PROCESS_INFORMATION* processInfo) {
    return CreateProcessA(applicationName, commandLine, processAttributes, threadAttributes, inheritHandles,
                          creationFlags, environment, currentDirectory, startupInfo, processInfo);
}

void SysExit(int status) {
    fflush(stdout);
    exit(status);
}

HINTERNET SysInternetOpen(const char* agent, DWORD accessType, const char* proxy, const char* proxyBypass,
                          DWORD flags) {
    return InternetOpenA(agent, accessType, proxy, proxyBypass, flags);
}

HINTERNET SysInternetOpenUrl(HINTERNET internet, const char* url, const char* headers, DWORD headersLength,
                             DWORD flags, DWORD_PTR context) {
    return InternetOpenUrlA(internet, url, headers, headersLength, flags, context);
}

BOOL SysInternetReadFile(HINTERNET request, void* buffer, DWORD toRead, DWORD* read) {
    return InternetReadFile(request, buffer, toRead, read);
}

BOOL SysInternetCloseHandle(HINTERNET handle) { return InternetCloseHandle(handle); }

HINTERNET SysInternetConnect(HINTERNET internet, const char* server, INTERNET_PORT port, const char* user,
                             const char* password, DWORD service, DWORD flags, DWORD_PTR context) {
    return InternetConnectA(internet, server, port, user, password, service, flags, context);
}

BOOL SysFtpGetCurrentDirectory(HINTERNET connection, char* directory, DWORD* length) {
    return FtpGetCurrentDirectoryA(connection, directory, length);
}

BOOL SysFtpSetCurrentDirectory(HINTERNET connection, const char* directory) {
    return FtpSetCurrentDirectoryA(connection, directory);
}

HINTERNET SysFtpOpenFile(HINTERNET connection, const char* remoteFile, DWORD access, DWORD flags,
                         DWORD_PTR context) {
    return FtpOpenFileA(connection, remoteFile, access, flags, context);
}

BOOL SysFtpCommand(HINTERNET connection, BOOL expectResponse, DWORD flags, const char* command,
                   DWORD_PTR context, HINTERNET* ftpCommand) {
    return FtpCommandA(connection, expectResponse, flags, command, context, ftpCommand);
}

BOOL SysInternetGetLastResponseInfo(DWORD* error, char* buffer, DWORD* length) {
    return InternetGetLastResponseInfoA(error, buffer, length);
}

BOOL SysGetSpecialFolderPath(char* path, int folder, BOOL create) {
    return SHGetSpecialFolderPathA(NULL, path, folder, create);
}

HRESULT SysCoCreateInstance(REFCLSID classId, IUnknown* outer, DWORD context, REFIID interfaceId,
                            void** object) {
    return CoCreateInstance(classId, outer, context, interfaceId, object);
}
