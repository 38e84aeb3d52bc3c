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
};
std::map<HINTERNET, OpenRequest> openRequests;

bool IsOpen(HINTERNET handle, const char* kind) {
    auto found = fake.handles.find(handle);
    return found != fake.handles.end() && found->second.open && found->second.kind == kind;
}

}  // namespace

FakeWorld fake;

void ResetFake() {
    fake = FakeWorld();
    openRequests.clear();
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
        OpenRequest{body, 0, TakeFailure(fake.readFailures) ? fake.readsBeforeFailure : -1};
    fake.events.push_back(std::string("url ") + url + " on " + fake.Name(internet));
    return request;
}

BOOL SysInternetReadFile(HINTERNET request, void* buffer, DWORD toRead, DWORD* read) {
    if (!IsOpen(request, "request")) {
        return FALSE;
    }
    OpenRequest& open = openRequests[request];
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

BOOL SysFtpGetFile(HINTERNET connection, const char* remoteFile, const char* localFile, BOOL failIfExists,
                   DWORD attributes, DWORD flags, DWORD_PTR context) {
    fake.transfers.push_back(
        FakeTransfer{connection, remoteFile, localFile, failIfExists, attributes, flags});
    fake.events.push_back("get " + fake.Name(connection) + " " + remoteFile);
    if (!IsOpen(connection, "ftp") || context != 0 || fake.missingFiles.count(remoteFile) != 0) {
        return FALSE;
    }
    auto served = fake.remoteFiles.find(remoteFile);
    if (served != fake.remoteFiles.end()) {
        FILE* file = fopen(localFile, "wb");
        if (file == NULL) {
            return FALSE;
        }
        fwrite(served->second.data(), 1, served->second.size(), file);
        fclose(file);
    }
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
