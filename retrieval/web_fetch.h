// Reads one HTTP resource into a caller's fixed buffer.
#pragma once

#include <windows.h>
#include <wininet.h>

// The open internet session, or NULL. Shared with the FTP connection, which may
// leave its own session here for the next fetch to use and close.
extern HINTERNET g_internetHandle;

// Closes the session in g_internetHandle and empties the slot.
void CloseInternetSession();

// The agent of the sessions the web fetch opens itself.
const char FETCH_AGENT[] = "TallywiseInstallProgram";

// The request flags: the base set, and the one for the vendor's own domains,
// which are always fetched past any cache.
const DWORD FETCH_FLAGS_BASE = INTERNET_FLAG_NO_AUTH | INTERNET_FLAG_HYPERLINK | INTERNET_FLAG_NO_UI;
const DWORD FETCH_FLAGS_VENDOR = FETCH_FLAGS_BASE | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;

// Longest URL FetchUrl accepts, its terminator not counted.
const int FETCH_URL_MAX = 199;

// On entry `buffer` holds the URL; on success it holds the body, zero-filled behind
// it, and the result is the number of body bytes stored (at most `capacity`; a body
// of `capacity` bytes or more leaves no terminator). 0 on any failure, and then
// the buffer still holds the URL unless a read failed.
int FetchUrl(char* buffer, int capacity);
