#include "fake_platform.h"

#include <direct.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

int FakeWorld::OpenHandles(const std::string& kind) const {
    int count = 0;
    for (const auto& entry : handles) {
        if (entry.second.open && (kind.empty() || entry.second.kind == kind)) {
            ++count;
        }
    }
    return count;
}

std::string FakeWorld::Name(HINTERNET handle) const {
    return handle == NULL ? "none" : "h" + std::to_string(reinterpret_cast<intptr_t>(handle));
}

HINTERNET FakeWorld::NewHandle(const std::string& kind, const std::string& agent) {
    HINTERNET handle = reinterpret_cast<HINTERNET>(static_cast<intptr_t>(nextHandle_++));
    handles[handle] = FakeHandle{kind, agent, true};
    return handle;
}

namespace {

// Takes one of the scripted failures; -1 stands for failing forever.
bool TakeFailure(int& failures) {
    if (failures == 0) {
        return false;
    }
    if (failures > 0) {
        --failures;
    }
    return true;
}

struct OpenRequest {
    std::string body;
    size_t offset;
    int readsBeforeFailure;  // -1: no read fails
    bool resetAtEnd;         // the last read fails: a reset data connection
    std::string closeReply;  // the server's reply once the transfer is over
};
std::map<HINTERNET, OpenRequest> openRequests;
std::map<HINTERNET, unsigned long long> pendingRestarts;

bool IsOpen(HINTERNET handle, const char* kind) {
    auto found = fake.handles.find(handle);
    return found != fake.handles.end() && found->second.open && found->second.kind == kind;
}

}  // namespace

FakeWorld fake;

void ResetFake() {
    fake = FakeWorld();
    openRequests.clear();
    pendingRestarts.clear();
}

std::vector<std::string> EventsStartingWith(const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& event : fake.events) {
        if (event.compare(0, prefix.size(), prefix) == 0) {
            found.push_back(event);
        }
    }
    return found;
}

void SysPrint(const char* format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    fake.transcript += text;
    fake.events.push_back(std::string("print ") + text);
}

int SysReadChar(char* c) {
    if (fake.inputRead >= fake.input.size()) {
        fake.events.push_back("read end");
        return 0;
    }
    *c = fake.input[fake.inputRead++];
    fake.events.push_back(std::string("read ") + *c);
    return 1;
}

int SysOutputIsConsole() { return fake.console ? 1 : 0; }

void SysWriteConsole(const char* text, DWORD length) {
    fake.consoleText.append(text, length);
    fake.events.push_back("console " + std::string(text, length));
}

DWORD SysTickCount() {
    fake.tick += fake.tickStep;
    return fake.tick;
}

void SysSleep(DWORD milliseconds) {
    fake.sleptMs += milliseconds;
    fake.events.push_back("sleep " + std::to_string(milliseconds));
}

int SysRunCommand(const char* command) {
    fake.events.push_back(std::string("run ") + command);
    return fake.onCommand ? fake.onCommand(command) : 0;
}

BOOL SysCreateProcess(const char* applicationName, char* commandLine, SECURITY_ATTRIBUTES* processAttributes,
                      SECURITY_ATTRIBUTES* threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                      void* environment, const char* currentDirectory, STARTUPINFOA* startupInfo,
                      PROCESS_INFORMATION* processInfo) {
    char directory[MAX_PATH] = "";
    _getcwd(directory, sizeof directory);
    fake.launchCommandLine = commandLine;
    fake.launchDirectory = directory;
    fake.launchArguments = {applicationName == NULL ? "no application name" : applicationName,
                            processAttributes == NULL ? "no process attributes" : "process attributes",
                            threadAttributes == NULL ? "no thread attributes" : "thread attributes",
                            inheritHandles ? "inherit handles" : "no inheritance",
                            "flags " + std::to_string(creationFlags),
                            environment == NULL ? "own environment" : "other environment",
                            currentDirectory == NULL ? "no directory" : currentDirectory,
                            startupInfo != NULL && startupInfo->cb == sizeof(STARTUPINFOA)
                                ? "startup info filled"
                                : "startup info missing"};
    fake.events.push_back(std::string("launch ") + commandLine);
    if (fake.launchFails) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    memset(processInfo, 0, sizeof *processInfo);
    return TRUE;
}

void SysExit(int status) {
    fake.events.push_back("exit " + std::to_string(status));
    throw FakeExit{status};
}

HINTERNET SysInternetOpen(const char* agent, DWORD accessType, const char* proxy, const char* proxyBypass,
                          DWORD flags) {
    bool regular =
        accessType == INTERNET_OPEN_TYPE_PRECONFIG && proxy == NULL && proxyBypass == NULL && flags == 0;
    if (!regular || fake.failingInternetOpens.count(++fake.internetOpens) != 0) {
        fake.events.push_back(std::string("open ") + agent + " failed");
        return NULL;
    }
    HINTERNET handle = fake.NewHandle("internet", agent);
    fake.events.push_back(std::string("open ") + agent + " " + fake.Name(handle));
    return handle;
}

HINTERNET SysInternetOpenUrl(HINTERNET internet, const char* url, const char* headers, DWORD headersLength,
                             DWORD flags, DWORD_PTR context) {
    bool regular = IsOpen(internet, "internet") && headers == NULL && headersLength == 0 && context == 0;
    fake.requests.push_back(FakeRequest{internet, regular ? fake.handles[internet].agent : "", url, flags});
    if (!regular || TakeFailure(fake.openUrlFailures)) {
        fake.events.push_back(std::string("url ") + url + " on " + fake.Name(internet) + " failed");
        return NULL;
    }
    HINTERNET request = fake.NewHandle("request", fake.handles[internet].agent);
    std::string body = fake.bodies.front();
    if (fake.bodies.size() > 1) {
        fake.bodies.pop_front();
    }
    openRequests[request] =
        OpenRequest{body, 0, TakeFailure(fake.readFailures) ? fake.readsBeforeFailure : -1, false, ""};
    fake.events.push_back(std::string("url ") + url + " on " + fake.Name(internet));
    return request;
}

BOOL SysInternetReadFile(HINTERNET request, void* buffer, DWORD toRead, DWORD* read) {
    if (!IsOpen(request, "request") && !IsOpen(request, "ftp file")) {
        return FALSE;
    }
    OpenRequest& open = openRequests[request];
    if (open.resetAtEnd && open.offset == open.body.size()) {
        return FALSE;
    }
    if (open.readsBeforeFailure == 0) {
        return FALSE;
    }
    if (open.readsBeforeFailure > 0) {
        --open.readsBeforeFailure;
    }
    size_t count = std::min<size_t>(
        {static_cast<size_t>(toRead), static_cast<size_t>(fake.readChunk), open.body.size() - open.offset});
    memcpy(buffer, open.body.data() + open.offset, count);
    open.offset += count;
    *read = static_cast<DWORD>(count);
    return TRUE;
}

BOOL SysInternetCloseHandle(HINTERNET handle) {
    fake.events.push_back("close " + fake.Name(handle));
    auto found = fake.handles.find(handle);
    if (found == fake.handles.end() || !found->second.open) {
        return FALSE;
    }
    found->second.open = false;
    auto transfer = openRequests.find(handle);
    if (found->second.kind == "ftp file" && transfer != openRequests.end()) {
        fake.lastResponse = transfer->second.closeReply;
    }
    return TRUE;
}

HINTERNET SysInternetConnect(HINTERNET internet, const char* server, INTERNET_PORT port, const char* user,
                             const char* password, DWORD service, DWORD flags, DWORD_PTR context) {
    FakeLogin login{internet, NULL, server, user, password, port, service, flags};
    bool fails = fake.failingLogins.count(static_cast<int>(fake.logins.size()) + 1) != 0;
    if (IsOpen(internet, "internet") && context == 0 && !fails) {
        login.connection = fake.NewHandle("ftp", fake.handles[internet].agent);
    }
    fake.logins.push_back(login);
    fake.events.push_back("login " + fake.Name(login.connection));
    return login.connection;
}

BOOL SysFtpGetCurrentDirectory(HINTERNET connection, char* directory, DWORD* length) {
    fake.events.push_back("pwd " + fake.Name(connection));
    if (!IsOpen(connection, "ftp") || fake.directoryQueryFails) {
        return FALSE;
    }
    // Like the real call: room for the text and its terminator, or failure.
    if (fake.loginDirectory.size() + 1 > *length) {
        return FALSE;
    }
    memcpy(directory, fake.loginDirectory.c_str(), fake.loginDirectory.size() + 1);
    *length = static_cast<DWORD>(fake.loginDirectory.size());
    return TRUE;
}

BOOL SysFtpSetCurrentDirectory(HINTERNET connection, const char* directory) {
    fake.directoryChanges.push_back(directory);
    fake.events.push_back("cd " + fake.Name(connection) + " " + directory);
    return IsOpen(connection, "ftp") && !fake.directoryChangeFails;
}

HINTERNET SysFtpOpenFile(HINTERNET connection, const char* remoteFile, DWORD access, DWORD flags,
                         DWORD_PTR context) {
    unsigned long long restart = pendingRestarts[connection];
    pendingRestarts.erase(connection);
    fake.transfers.push_back(FakeTransfer{connection, remoteFile, access, flags, restart});
    fake.events.push_back("get " + fake.Name(connection) + " " + remoteFile +
                          (restart > 0 ? " from " + std::to_string(restart) : ""));
    auto served = fake.remoteFiles.find(remoteFile);
    if (!IsOpen(connection, "ftp") || context != 0 || fake.missingFiles.count(remoteFile) != 0 ||
        served == fake.remoteFiles.end() || restart > served->second.size()) {
        fake.lastResponse = "550 No such file or directory.";
        return NULL;
    }
    std::string data = served->second.substr(fake.restIgnored ? 0 : static_cast<size_t>(restart));
    OpenRequest open{data, 0, -1, false, "226 Transfer complete."};
    auto cut = fake.cuts.find(remoteFile);
    if (cut != fake.cuts.end() && cut->second.times != 0 && cut->second.bytes < data.size()) {
        if (cut->second.times > 0) {
            --cut->second.times;
        }
        open.body = data.substr(0, cut->second.bytes);
        open.resetAtEnd = cut->second.reset;
        open.closeReply = "426 Connection closed; transfer aborted.";
    }
    HINTERNET handle = fake.NewHandle("ftp file", fake.handles[connection].agent);
    openRequests[handle] = open;
    return handle;
}

BOOL SysFtpCommand(HINTERNET connection, BOOL expectResponse, DWORD flags, const char* command,
                   DWORD_PTR context, HINTERNET* ftpCommand) {
    fake.ftpCommands.push_back(command);
    fake.events.push_back("command " + fake.Name(connection) + " " + command);
    if (!IsOpen(connection, "ftp") || expectResponse || context != 0 || ftpCommand != NULL ||
        flags != FTP_TRANSFER_TYPE_BINARY) {
        return FALSE;
    }
    std::string text = command;
    if (text.compare(0, 5, "REST ") == 0) {
        if (fake.restRefused) {
            fake.lastResponse = "502 Command not implemented.";
            return FALSE;
        }
        pendingRestarts[connection] = std::stoull(text.substr(5));
        fake.lastResponse = "350 Restarting at " + text.substr(5) + ".";
        return TRUE;
    }
    fake.lastResponse = text == "TYPE I" ? "200 Type set to I." : "500 Unknown command.";
    return text == "TYPE I";
}

BOOL SysInternetGetLastResponseInfo(DWORD* error, char* buffer, DWORD* length) {
    *error = 0;
    if (fake.lastResponse.size() + 1 > *length) {
        return FALSE;
    }
    memcpy(buffer, fake.lastResponse.c_str(), fake.lastResponse.size() + 1);
    *length = static_cast<DWORD>(fake.lastResponse.size());
    return TRUE;
}

BOOL SysGetSpecialFolderPath(char* path, int folder, BOOL create) {
    const std::string& reported = folder == CSIDL_DESKTOP    ? fake.desktopFolder
                                  : folder == CSIDL_PROGRAMS ? fake.programsFolder
                                                             : std::string();
    fake.events.push_back("folder " + std::to_string(folder) + (create ? " create" : ""));
    if (reported.empty() || reported.size() >= MAX_PATH) {
        return FALSE;
    }
    memcpy(path, reported.c_str(), reported.size() + 1);
    return TRUE;
}

HRESULT SysCoCreateInstance(REFCLSID classId, IUnknown* outer, DWORD context, REFIID interfaceId,
                            void** object) {
    if (fake.coCreateInstance) {
        return fake.coCreateInstance(classId, outer, context, interfaceId, object);
    }
    return CoCreateInstance(classId, outer, context, interfaceId, object);
}
