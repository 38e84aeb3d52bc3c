// A stand-in for the outside world: the console, the clock, processes, WinINet
// and the shell. Tests script it through `fake` and read back what happened.
#pragma once

#include "platform/platform.h"

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

// Thrown by SysExit so that a test can watch the program end.
struct FakeExit {
    int status;
};

struct FakeHandle {
    std::string kind;   // "internet", "request" or "ftp"
    std::string agent;  // of the internet session it belongs to
    bool open;
};

struct FakeRequest {
    HINTERNET internet;
    std::string agent;
    std::string url;
    DWORD flags;
};

struct FakeLogin {
    HINTERNET internet;
    HINTERNET connection;  // NULL when the login failed
    std::string host, user, password;
    INTERNET_PORT port;
    DWORD service, flags;
};

struct FakeTransfer {
    HINTERNET connection;
    std::string remote;
    DWORD access, flags;
    unsigned long long restart;  // the REST offset it was asked to start at
};

// A transfer cut by the line: after `bytes` of its data, `times` times (-1 for
// always), by a reset (the read fails) or a clean close (the server says 426).
struct FakeCut {
    size_t bytes;
    int times;
    bool reset;
};

struct FakeWorld {
    // What happened, in order: "print ...", "sleep N", "run ...", "open AGENT", "close hN", ...
    std::vector<std::string> events;
    std::string transcript;
    DWORD sleptMs = 0;

    // Console input; reading past its end reports end of input.
    std::string input;
    size_t inputRead = 0;

    // Processes.
    std::function<int(const char*)> onCommand;
    bool launchFails = false;
    std::string launchCommandLine;
    std::string launchDirectory;
    std::vector<std::string> launchArguments;  // the other arguments, as text

    // WinINet. Sets name the calls that fail by their number (1 = the first
    // call of that kind); counts say how many of the next calls fail, -1 all.
    std::set<int> failingInternetOpens;
    std::set<int> failingLogins;
    int openUrlFailures = 0;
    std::deque<std::string> bodies = {std::string("body")};  // one per opened URL; the last repeats
    DWORD readChunk = 7;
    int readFailures = 0;        // requests with a failing read: their first, or the one after
    int readsBeforeFailure = 0;  // this many reads that succeed
    std::string loginDirectory = "/";
    bool directoryQueryFails = false;
    bool directoryChangeFails = false;
    std::set<std::string> missingFiles;
    std::map<std::string, std::string> remoteFiles = {{"z.exe", "MZ z"}, {"wkp.zip", "PK archive"}};
    std::map<std::string, FakeCut> cuts;
    bool restRefused = false;  // REST answered 502
    bool restIgnored = false;  // REST answered 350, then the file sent whole
    std::vector<std::string> ftpCommands;
    std::string lastResponse;
    int internetOpens = 0;
    std::vector<FakeRequest> requests;
    std::vector<FakeLogin> logins;
    std::vector<std::string> directoryChanges;
    std::vector<FakeTransfer> transfers;
    std::map<HINTERNET, FakeHandle> handles;

    // The console: is standard output one, and what was written to it directly.
    bool console = false;
    std::string consoleText;
    DWORD tick = 0;
    DWORD tickStep = 0;  // added at every clock reading

    // Shell folders; empty means the shell does not report it.
    std::string desktopFolder;
    std::string programsFolder;
    std::function<HRESULT(REFCLSID, IUnknown*, DWORD, REFIID, void**)> coCreateInstance;

    // Handles still open, of one kind or of all kinds.
    int OpenHandles(const std::string& kind = "") const;
    std::string Name(HINTERNET handle) const;
    HINTERNET NewHandle(const std::string& kind, const std::string& agent);

  private:
    int nextHandle_ = 1;
};

extern FakeWorld fake;

// A fresh world: call at the start of every test.
void ResetFake();

// Events of one kind, by prefix ("sleep", "print", ...).
std::vector<std::string> EventsStartingWith(const std::string& prefix);
