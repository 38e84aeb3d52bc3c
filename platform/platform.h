// The installer's window on the outside world. Every call that waits, reads the
// console, reaches the network, starts a process or asks the shell for a folder
// goes through these procedures, so that tests can stand in for all of them.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <wininet.h>

// Console.
void SysPrint(const char* format, ...);
int SysReadChar(char* c);  // 1 when a character was read, 0 at end of input or on error
int SysOutputIsConsole();  // 1 when standard output is a console, not a pipe or a file
void SysWriteConsole(const char* text, DWORD length);  // straight to the console, beside stdout

// Time and processes.
void SysSleep(DWORD milliseconds);
DWORD SysTickCount();
int SysRunCommand(const char* command);
BOOL SysCreateProcess(const char* applicationName, char* commandLine, SECURITY_ATTRIBUTES* processAttributes,
                      SECURITY_ATTRIBUTES* threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                      void* environment, const char* currentDirectory, STARTUPINFOA* startupInfo,
                      PROCESS_INFORMATION* processInfo);
[[noreturn]] void SysExit(int status);

// WinINet.
HINTERNET SysInternetOpen(const char* agent, DWORD accessType, const char* proxy, const char* proxyBypass,
                          DWORD flags);
HINTERNET SysInternetOpenUrl(HINTERNET internet, const char* url, const char* headers, DWORD headersLength,
                             DWORD flags, DWORD_PTR context);
BOOL SysInternetReadFile(HINTERNET request, void* buffer, DWORD toRead, DWORD* read);
BOOL SysInternetCloseHandle(HINTERNET handle);
HINTERNET SysInternetConnect(HINTERNET internet, const char* server, INTERNET_PORT port, const char* user,
                             const char* password, DWORD service, DWORD flags, DWORD_PTR context);
BOOL SysFtpGetCurrentDirectory(HINTERNET connection, char* directory, DWORD* length);
BOOL SysFtpSetCurrentDirectory(HINTERNET connection, const char* directory);
HINTERNET SysFtpOpenFile(HINTERNET connection, const char* remoteFile, DWORD access, DWORD flags,
                         DWORD_PTR context);
BOOL SysFtpCommand(HINTERNET connection, BOOL expectResponse, DWORD flags, const char* command,
                   DWORD_PTR context, HINTERNET* ftpCommand);
BOOL SysInternetGetLastResponseInfo(DWORD* error, char* buffer, DWORD* length);

// Shell.
BOOL SysGetSpecialFolderPath(char* path, int folder, BOOL create);
HRESULT SysCoCreateInstance(REFCLSID classId, IUnknown* outer, DWORD context, REFIID interfaceId,
                            void** object);
