// The project's one zip reader: the end record (zip64 included), the central
// directory entry by entry, and each entry's data streamed through fixed buffers
// with its size and CRC-32 checked. The extractor, the site check and the
// publishing tool all read archives through it.
#pragma once

#include <windows.h>
#include <zlib.h>

const int ZIP_NAME_CAPACITY = 1024;    // bytes of an entry's name that are kept
const int ZIP_WINDOW_SIZE = 65536;     // the central directory is read through a window this size
const int ZIP_CHUNK_SIZE = 65536;      // compressed bytes read at a time
const int ZIP_TAIL_SIZE = 22 + 65535;  // the end record and the longest comment

// Why an archive cannot be read at all.
enum ZipArchiveStatus {
    ZIP_OK = 0,
    ZIP_NOT_FOUND,
    ZIP_CANNOT_OPEN,
    ZIP_NOT_A_ZIP,
    ZIP_NO_END_RECORD,
    ZIP_DIRECTORY_CUT_SHORT,
    ZIP_DIRECTORY_OUTSIDE,
    ZIP_SPLIT,
    ZIP_READ_ERROR
};

// Why one entry's data cannot be read.
enum ZipDataStatus {
    ZIP_DATA_OK = 0,
    ZIP_DATA_UNSUPPORTED_METHOD,
    ZIP_DATA_ENCRYPTED,
    ZIP_DATA_OUTSIDE,
    ZIP_DATA_NO_LOCAL_HEADER,
    ZIP_DATA_DAMAGED,
    ZIP_DATA_TOO_LONG,
    ZIP_DATA_TOO_SHORT,
    ZIP_DATA_CRC_MISMATCH,
    ZIP_DATA_READ_ERROR
};

struct ZipArchive {
    HANDLE file;
    unsigned long long fileSize;
    unsigned long long bias;  // bytes in front of the archive proper (a self-extracting stub)
    unsigned long long directoryStart;
    unsigned long long directoryEnd;
    unsigned long long entryCount;
    unsigned long long next;  // where the next central header starts
    unsigned long long windowStart;
    DWORD windowLength;
    unsigned char window[ZIP_WINDOW_SIZE];
    unsigned char extra[ZIP_TAIL_SIZE];  // an entry's extra field; first the end-record search
};

struct ZipEntry {
    char name[ZIP_NAME_CAPACITY];  // as stored, NUL-terminated, cut to the capacity
    unsigned nameLength;           // the stored length, which may exceed the capacity
    unsigned versionMadeBy;
    unsigned flags;
    unsigned method;
    unsigned dosTime;
    unsigned dosDate;
    unsigned long crc32;
    unsigned long long compressedSize;
    unsigned long long size;
    unsigned long long localOffset;
    unsigned long externalAttributes;
    int hasUnixTime;  // the extended-timestamp extra field's modification time
    long long unixTime;
    int hasNtfsTime;  // the NTFS extra field's modification time, a FILETIME
    unsigned long long ntfsTime;
};

struct ZipEntryReader {
    ZipArchive* archive;
    unsigned method;
    unsigned long long offset;    // next compressed byte to read
    unsigned long long left;      // compressed bytes not yet read
    unsigned long long declared;  // the directory's size
    unsigned long long produced;
    unsigned long expectedCrc;
    unsigned long crc;
    int inflating;
    int ended;
    z_stream stream;
    unsigned char input[ZIP_CHUNK_SIZE];
};

// Opens the archive and checks the whole central directory's structure.
int ZipOpen(ZipArchive* archive, const wchar_t* path);
void ZipClose(ZipArchive* archive);
const char* ZipArchiveStatusText(int status);

// Starts again at the first entry.
void ZipRewind(ZipArchive* archive);
// 1 with the next entry, 0 after the last, -1 when the directory is damaged.
int ZipNextEntry(ZipArchive* archive, ZipEntry* entry);

int ZipIsDirectory(const ZipEntry* entry);
int ZipIsSymbolicLink(const ZipEntry* entry);
const char* ZipMethodName(unsigned method);  // "deflate64" and the like, or "unknown"

// Streams an entry's data: start, read until `*got` is 0, end. Every read
// checks that the data stays within the declared size; the last one checks
// the size and the CRC-32. Results are ZipDataStatus values.
int ZipEntryStart(ZipArchive* archive, const ZipEntry* entry, ZipEntryReader* reader);
int ZipEntryRead(ZipEntryReader* reader, unsigned char* out, DWORD capacity, DWORD* got);
void ZipEntryEnd(ZipEntryReader* reader);
const char* ZipDataStatusText(int status);
