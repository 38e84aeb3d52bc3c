#include "shortcuts.h"

#include "platform/compose.h"
#include "platform/platform.h"

#include <io.h>
#include <objbase.h>
#include <shlobj.h>

namespace {

void ReplaceCopy(const char* linkFile, const char* copyPath) {
    _unlink(copyPath);
    CopyFileA(linkFile, copyPath, FALSE);
}

}  // namespace

void PlaceShortcuts(char drive) {
    char linkFile[MAX_PATH];
    char folder[MAX_PATH];
    char path[MAX_PATH];

    // Every path is composed whole or not used: a cut-off name is never copied to.
    // The link file's name depends on the drive alone. When the desktop is not
    // reported, the link is not written, and the Start Menu receives this drive's
    // link file from an earlier installation if there is one, else nothing.
    ComposeText(linkFile, sizeof linkFile, "%c:\\Kestrow\\Tallywise.exe.lnk", drive);

    if (SysGetSpecialFolderPath(folder, CSIDL_DESKTOP, FALSE)) {
        char target[MAX_PATH];
        char description[64];
        char workingDirectory[MAX_PATH];
        ComposeText(target, sizeof target, "%c:\\Kestrow\\Tallywise.exe", drive);
        ComposeText(description, sizeof description, "Activates Tallywise on %c Drive", drive);
        ComposeText(workingDirectory, sizeof workingDirectory, "%c:\\Kestrow", drive);
        CreateShortcutFile(target, linkFile, description, workingDirectory);

        if (ComposeText(path, sizeof path, "%s\\%c-Tallywise.exe.lnk", folder, drive)) {
            ReplaceCopy(linkFile, path);
        }
    }

    if (SysGetSpecialFolderPath(folder, CSIDL_PROGRAMS, FALSE)) {
        char vendorFolder[MAX_PATH];
        if (!ComposeText(vendorFolder, sizeof vendorFolder, "%s\\Brindlecove", folder)) {
            return;
        }
        CreateDirectoryA(vendorFolder, NULL);
        if (ComposeText(path, sizeof path, "%s\\Tallywise.exe", vendorFolder)) {
            _unlink(path);
        }
        if (ComposeText(path, sizeof path, "%s\\%c-Tallywise.exe.lnk", vendorFolder, drive)) {
            ReplaceCopy(linkFile, path);
        }
    }
}

HRESULT CreateShortcutFile(const char* target, const char* linkPath, const char* description,
                           const char* workingDirectory) {
    CoInitialize(NULL);

    IShellLinkA* link = NULL;
    HRESULT result = SysCoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                         reinterpret_cast<void**>(&link));
    if (SUCCEEDED(result)) {
        link->SetPath(target);
        link->SetDescription(description);
        link->SetWorkingDirectory(workingDirectory);

        IPersistFile* file = NULL;
        result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
        if (SUCCEEDED(result)) {
            WCHAR widePath[MAX_PATH];
            // An unconvertible name leaves an empty path, which Save refuses.
            if (MultiByteToWideChar(CP_ACP, 0, linkPath, -1, widePath, MAX_PATH) == 0) {
                widePath[0] = L'\0';
            }
            result = file->Save(widePath, TRUE);
            file->Release();
        }
        link->Release();
    }

    CoUninitialize();
    return result;
}
