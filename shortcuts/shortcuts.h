// The shell link to the installed application and its desktop and Start Menu copies.
#pragma once

#include <windows.h>

// Writes "%c:\Kestrow\Tallywise.exe.lnk" and copies it, named after the drive,
// to the desktop and to the vendor folder of the Start Menu. Failures are ignored.
void PlaceShortcuts(char drive);

// Writes a shell link at `linkPath`. Returns the result of creating the link
// object, of asking it for IPersistFile, or of saving it: the first that fails.
HRESULT CreateShortcutFile(const char* target, const char* linkPath, const char* description,
                           const char* workingDirectory);
