#include "entry_name.h"

namespace {

const unsigned kFlagUtf8 = 0x0800;
const unsigned kHostUnix = 3;
const UINT kCodePage437 = 437;

int IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

wchar_t Upper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c; }

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9, in any case, alone or before an extension.
int IsDeviceName(const wchar_t* component, int length) {
    static const wchar_t* const kThree[] = {L"CON", L"PRN", L"AUX", L"NUL"};
    static const wchar_t* const kNumbered[] = {L"COM", L"LPT"};
    int stem = 0;
    while (stem < length && component[stem] != L'.') {
        ++stem;
    }
    // Windows ignores blanks before the extension: "CON .txt" is CON too.
    while (stem > 0 && component[stem - 1] == L' ') {
        --stem;
    }
    if (stem == 3) {
        for (const wchar_t* device : kThree) {
            if (Upper(component[0]) == device[0] && Upper(component[1]) == device[1] &&
                Upper(component[2]) == device[2]) {
                return 1;
            }
        }
    }
    if (stem == 4 && component[3] >= L'1' && component[3] <= L'9') {
        for (const wchar_t* device : kNumbered) {
            if (Upper(component[0]) == device[0] && Upper(component[1]) == device[1] &&
                Upper(component[2]) == device[2]) {
                return 1;
            }
        }
    }
    return 0;
}

}  // namespace

const char* DecodeEntryName(const ZipEntry* entry, wchar_t* name, int capacity) {
    if (entry->nameLength >= static_cast<unsigned>(ZIP_NAME_CAPACITY)) {
        return "the name is too long";
    }
    int length = static_cast<int>(entry->nameLength);
    if (length == 0) {
        name[0] = L'\0';
        return NULL;
    }
    for (int i = 0; i < length; ++i) {
        if (entry->name[i] == '\0') {
            return "control character in the name";
        }
    }
    int utf8 = (entry->flags & kFlagUtf8) != 0;
    int written = 0;
    if (utf8 || (entry->versionMadeBy >> 8) == kHostUnix) {
        written = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, entry->name, length, name, capacity - 1);
        if (written == 0 && utf8) {
            return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? "the name is too long"
                                                               : "the name is marked UTF-8 but is not";
        }
    }
    if (written == 0) {
        written = MultiByteToWideChar(kCodePage437, 0, entry->name, length, name, capacity - 1);
        if (written == 0) {
            return "the name is too long";
        }
    }
    name[written] = L'\0';
    return NULL;
}

const char* CheckEntryName(const wchar_t* name, wchar_t* path, int capacity) {
    if (name[0] == L'\0') {
        return "empty name";
    }
    for (const wchar_t* c = name; *c != L'\0'; ++c) {
        if (*c < 0x20 || *c == 0x7f) {
            return "control character in the name";
        }
    }
    if (IsSeparator(name[0])) {
        return "absolute path";
    }
    if (((name[0] >= L'A' && name[0] <= L'Z') || (name[0] >= L'a' && name[0] <= L'z')) && name[1] == L':') {
        return "drive letter";
    }
    for (const wchar_t* c = name; *c != L'\0'; ++c) {
        if (*c == L':') {
            return "':' in the name (an alternate data stream)";
        }
        if (*c == L'<' || *c == L'>' || *c == L'"' || *c == L'|' || *c == L'?' || *c == L'*') {
            return "a character that Windows does not allow in names";
        }
    }

    int used = 0;
    const wchar_t* start = name;
    for (;;) {
        const wchar_t* end = start;
        while (*end != L'\0' && !IsSeparator(*end)) {
            ++end;
        }
        int length = static_cast<int>(end - start);
        int dot = length == 1 && start[0] == L'.';
        if (length == 2 && start[0] == L'.' && start[1] == L'.') {
            return "'..' component";
        }
        if (length > 0 && !dot) {
            if (IsDeviceName(start, length)) {
                return "reserved device name";
            }
            if (start[length - 1] == L'.' || start[length - 1] == L' ') {
                return "a folder or file name that ends in a dot or a blank";
            }
            if (used + (used > 0 ? 1 : 0) + length >= capacity) {
                return "the name is too long";
            }
            if (used > 0) {
                path[used++] = L'\\';
            }
            for (int i = 0; i < length; ++i) {
                path[used++] = start[i];
            }
        }
        if (*end == L'\0') {
            break;
        }
        start = end + 1;
    }
    // Only "." components: the destination itself, as "./" from some archivers.
    path[used] = L'\0';
    return NULL;
}
