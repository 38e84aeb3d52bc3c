#include "zip_archive.h"

#include <string.h>

namespace {

const unsigned long kLocalHeader = 0x04034b50;
const unsigned long kCentralHeader = 0x02014b50;
const unsigned long kEndRecord = 0x06054b50;
const unsigned long kZip64EndRecord = 0x06064b50;
const unsigned long kZip64Locator = 0x07064b50;
const DWORD kEndRecordSize = 22;
const DWORD kCentralHeaderSize = 46;
const DWORD kLocalHeaderSize = 30;
const unsigned kFlagEncrypted = 0x0001;
const unsigned kFlagStrongEncryption = 0x0040;
const unsigned kHostUnix = 3;

unsigned Get16(const unsigned char* p) { return p[0] | (p[1] << 8); }
unsigned long Get32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<unsigned long>(p[3]) << 24);
}
unsigned long long Get64(const unsigned char* p) {
    return Get32(p) | (static_cast<unsigned long long>(Get32(p + 4)) << 32);
}

// Reads exactly `size` bytes at `offset`; 0 on a short read.
int ReadAt(HANDLE file, unsigned long long offset, void* data, DWORD size) {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    DWORD got = 0;
    return SetFilePointerEx(file, position, NULL, FILE_BEGIN) && ReadFile(file, data, size, &got, NULL) &&
                   got == size
               ? 1
               : 0;
}

// Reads central-directory bytes through the archive's window, so that walking
// many small headers costs few system calls. `size` is at most the window's.
int ReadDirectory(ZipArchive* archive, unsigned long long offset, void* data, DWORD size) {
    if (offset + size > archive->directoryEnd) {
        return 0;
    }
    if (offset < archive->windowStart || offset + size > archive->windowStart + archive->windowLength) {
        unsigned long long left = archive->directoryEnd - offset;
        DWORD length = left < ZIP_WINDOW_SIZE ? static_cast<DWORD>(left) : ZIP_WINDOW_SIZE;
        if (!ReadAt(archive->file, offset, archive->window, length)) {
            archive->windowLength = 0;
            return 0;
        }
        archive->windowStart = offset;
        archive->windowLength = length;
    }
    memcpy(data, archive->window + (offset - archive->windowStart), size);
    return 1;
}

// Applies the extra fields that matter here: zip64 sizes and offset, and the
// modification times of the extended-timestamp and NTFS fields. 0 when a zip64
// field the header calls for is missing.
int ReadExtraFields(const unsigned char* extra, unsigned length, ZipEntry* entry, int wantSize,
                    int wantPacked, int wantOffset) {
    int zip64Found = !(wantSize || wantPacked || wantOffset);
    unsigned at = 0;
    while (at + 4 <= length) {
        unsigned id = Get16(extra + at);
        unsigned size = Get16(extra + at + 2);
        const unsigned char* data = extra + at + 4;
        if (at + 4 + size > length) {
            break;
        }
        if (id == 0x0001) {
            unsigned need = 8u * ((wantSize ? 1 : 0) + (wantPacked ? 1 : 0) + (wantOffset ? 1 : 0));
            if (size >= need) {
                unsigned field = 0;
                if (wantSize) {
                    entry->size = Get64(data + field);
                    field += 8;
                }
                if (wantPacked) {
                    entry->compressedSize = Get64(data + field);
                    field += 8;
                }
                if (wantOffset) {
                    entry->localOffset = Get64(data + field);
                }
                zip64Found = 1;
            }
        } else if (id == 0x5455 && size >= 5 && (data[0] & 1)) {
            entry->hasUnixTime = 1;
            entry->unixTime = static_cast<long>(Get32(data + 1));
        } else if (id == 0x000a && size >= 32) {
            // Reserved word, then tagged attributes; tag 1 holds mtime, atime, ctime.
            unsigned tag = 4;
            while (tag + 4 <= size) {
                unsigned tagId = Get16(data + tag);
                unsigned tagSize = Get16(data + tag + 2);
                if (tagId == 1 && tagSize >= 24 && tag + 4 + 8 <= size) {
                    entry->hasNtfsTime = 1;
                    entry->ntfsTime = Get64(data + tag + 4);
                    break;
                }
                tag += 4 + tagSize;
            }
        }
        at += 4 + size;
    }
    return zip64Found;
}

// Finds the end record in the last bytes of the file and from it (and its zip64
// form) the central directory.
int LocateDirectory(ZipArchive* archive) {
    static const unsigned char kLocalSignature[4] = {'P', 'K', 3, 4};
    unsigned char head[4] = {0, 0, 0, 0};
    int looksLikeZip =
        archive->fileSize >= 4 && ReadAt(archive->file, 0, head, 4) && memcmp(head, kLocalSignature, 4) == 0;

    // The extra-field buffer is free until the directory is read.
    unsigned char* tail = archive->extra;
    DWORD tailLength = archive->fileSize < sizeof archive->extra ? static_cast<DWORD>(archive->fileSize)
                                                                 : sizeof archive->extra;
    unsigned long long tailStart = archive->fileSize - tailLength;
    if (tailLength < kEndRecordSize) {
        return looksLikeZip ? ZIP_NO_END_RECORD : ZIP_NOT_A_ZIP;
    }
    if (!ReadAt(archive->file, tailStart, tail, tailLength)) {
        return ZIP_READ_ERROR;
    }
    int found = -1;
    int signatureSeen = 0;
    for (int i = static_cast<int>(tailLength - kEndRecordSize); i >= 0 && found < 0; --i) {
        if (Get32(tail + i) == kEndRecord) {
            signatureSeen = 1;
            if (i + kEndRecordSize + Get16(tail + i + 20) <= tailLength) {
                found = i;
            }
        }
    }
    if (found < 0) {
        return looksLikeZip || signatureSeen ? ZIP_NO_END_RECORD : ZIP_NOT_A_ZIP;
    }
    const unsigned char* end = tail + found;
    unsigned long long endPosition = tailStart + static_cast<unsigned>(found);
    if (Get16(end + 4) != 0 || Get16(end + 6) != 0) {
        return ZIP_SPLIT;
    }
    unsigned long long count = Get16(end + 10);
    unsigned long long size = Get32(end + 12);
    unsigned long long offset = Get32(end + 16);
    unsigned long long recordPosition = endPosition;

    unsigned char locator[20];
    if (endPosition >= sizeof locator && ReadAt(archive->file, endPosition - sizeof locator, locator, 20) &&
        Get32(locator) == kZip64Locator) {
        unsigned char record[56];
        unsigned long long recordOffset = Get64(locator + 8);
        // With a stub in front, the record sits as far past its stated offset as the
        // locator says; try the stated place first.
        if (recordOffset + sizeof record > endPosition ||
            !ReadAt(archive->file, recordOffset, record, sizeof record) || Get32(record) != kZip64EndRecord) {
            unsigned long long guess = endPosition - sizeof locator - sizeof record;
            if (endPosition < sizeof locator + sizeof record ||
                !ReadAt(archive->file, guess, record, sizeof record) || Get32(record) != kZip64EndRecord) {
                return ZIP_NO_END_RECORD;
            }
            recordOffset = guess;
        }
        if (Get32(record + 16) != 0 || Get32(record + 20) != 0) {
            return ZIP_SPLIT;
        }
        count = Get64(record + 32);
        size = Get64(record + 40);
        offset = Get64(record + 48);
        recordPosition = recordOffset;
    }

    if (offset > recordPosition || size > recordPosition - offset) {
        return ZIP_DIRECTORY_OUTSIDE;
    }
    archive->bias = recordPosition - offset - size;
    archive->directoryStart = offset + archive->bias;
    archive->directoryEnd = archive->directoryStart + size;
    archive->entryCount = count;
    return ZIP_OK;
}

}  // namespace

int ZipOpen(ZipArchive* archive, const wchar_t* path) {
    memset(archive, 0, offsetof(ZipArchive, window));
    archive->file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (archive->file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        archive->file = NULL;
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ZIP_NOT_FOUND
                                                                              : ZIP_CANNOT_OPEN;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(archive->file, &size)) {
        ZipClose(archive);
        return ZIP_READ_ERROR;
    }
    archive->fileSize = static_cast<unsigned long long>(size.QuadPart);
    int status = LocateDirectory(archive);

    // Walk the whole directory once, so that a damaged one is known before anything is unpacked.
    ZipEntry entry;
    unsigned long long seen = 0;
    ZipRewind(archive);
    int more = status == ZIP_OK ? 1 : 0;
    while (more == 1) {
        more = ZipNextEntry(archive, &entry);
        if (more == 1) {
            ++seen;
            if (entry.localOffset + archive->bias > archive->directoryStart ||
                entry.compressedSize > archive->directoryStart - entry.localOffset - archive->bias) {
                status = ZIP_DIRECTORY_OUTSIDE;
                more = 0;
            }
        }
    }
    if (status == ZIP_OK && (more < 0 || seen < archive->entryCount)) {
        status = ZIP_DIRECTORY_CUT_SHORT;
    }
    if (status != ZIP_OK) {
        ZipClose(archive);
        return status;
    }
    ZipRewind(archive);
    return ZIP_OK;
}

void ZipClose(ZipArchive* archive) {
    if (archive->file != NULL) {
        CloseHandle(archive->file);
        archive->file = NULL;
    }
}

void ZipRewind(ZipArchive* archive) { archive->next = archive->directoryStart; }

int ZipNextEntry(ZipArchive* archive, ZipEntry* entry) {
    if (archive->next >= archive->directoryEnd) {
        return 0;
    }
    unsigned char header[kCentralHeaderSize];
    if (!ReadDirectory(archive, archive->next, header, sizeof header) || Get32(header) != kCentralHeader) {
        return -1;
    }
    memset(entry, 0, sizeof *entry);
    entry->versionMadeBy = Get16(header + 4);
    entry->flags = Get16(header + 8);
    entry->method = Get16(header + 10);
    entry->dosTime = Get16(header + 12);
    entry->dosDate = Get16(header + 14);
    entry->crc32 = Get32(header + 16);
    entry->compressedSize = Get32(header + 20);
    entry->size = Get32(header + 24);
    entry->nameLength = Get16(header + 28);
    unsigned extraLength = Get16(header + 30);
    unsigned commentLength = Get16(header + 32);
    entry->externalAttributes = Get32(header + 38);
    entry->localOffset = Get32(header + 42);

    unsigned long long at = archive->next + sizeof header;
    DWORD kept = entry->nameLength < ZIP_NAME_CAPACITY ? entry->nameLength : ZIP_NAME_CAPACITY - 1;
    if (!ReadDirectory(archive, at, entry->name, kept) ||
        !ReadDirectory(archive, at + entry->nameLength, archive->extra, extraLength) ||
        at + entry->nameLength + extraLength + commentLength > archive->directoryEnd) {
        return -1;
    }
    entry->name[kept] = '\0';
    if (!ReadExtraFields(archive->extra, extraLength, entry, entry->size == 0xffffffff,
                         entry->compressedSize == 0xffffffff, entry->localOffset == 0xffffffff)) {
        return -1;
    }
    archive->next = at + entry->nameLength + extraLength + commentLength;
    return 1;
}

int ZipIsDirectory(const ZipEntry* entry) {
    unsigned length = entry->nameLength < ZIP_NAME_CAPACITY ? entry->nameLength : 0;
    if (length > 0 && (entry->name[length - 1] == '/' || entry->name[length - 1] == '\\')) {
        return 1;
    }
    // Archivers on Windows may mark a folder only by its attribute.
    return (entry->externalAttributes & FILE_ATTRIBUTE_DIRECTORY) && entry->size == 0 &&
                   (entry->versionMadeBy >> 8) != kHostUnix
               ? 1
               : 0;
}

int ZipIsSymbolicLink(const ZipEntry* entry) {
    return (entry->versionMadeBy >> 8) == kHostUnix &&
                   ((entry->externalAttributes >> 16) & 0170000) == 0120000
               ? 1
               : 0;
}

const char* ZipMethodName(unsigned method) {
    switch (method) {
        case 0:
            return "stored";
        case 1:
            return "shrink";
        case 2:
        case 3:
        case 4:
        case 5:
            return "reduce";
        case 6:
            return "implode";
        case 8:
            return "deflate";
        case 9:
            return "deflate64";
        case 10:
            return "PKWARE DCL implode";
        case 12:
            return "bzip2";
        case 14:
            return "LZMA";
        case 93:
            return "zstd";
        case 95:
            return "xz";
        case 96:
            return "JPEG";
        case 97:
            return "WavPack";
        case 98:
            return "PPMd";
        case 99:
            return "AES encryption";
        default:
            return "unknown";
    }
}

int ZipEntryStart(ZipArchive* archive, const ZipEntry* entry, ZipEntryReader* reader) {
    memset(reader, 0, offsetof(ZipEntryReader, input));
    reader->archive = archive;
    if ((entry->flags & (kFlagEncrypted | kFlagStrongEncryption)) || entry->method == 99) {
        return ZIP_DATA_ENCRYPTED;
    }
    if (entry->method != 0 && entry->method != 8) {
        return ZIP_DATA_UNSUPPORTED_METHOD;
    }
    unsigned char local[kLocalHeaderSize];
    unsigned long long headerAt = entry->localOffset + archive->bias;
    if (headerAt + sizeof local > archive->directoryStart) {
        return ZIP_DATA_OUTSIDE;
    }
    if (!ReadAt(archive->file, headerAt, local, sizeof local)) {
        return ZIP_DATA_READ_ERROR;
    }
    if (Get32(local) != kLocalHeader) {
        return ZIP_DATA_NO_LOCAL_HEADER;
    }
    // The directory's sizes count; the local header's may be zero (a data descriptor follows).
    unsigned long long dataAt = headerAt + sizeof local + Get16(local + 26) + Get16(local + 28);
    if (dataAt > archive->directoryStart || entry->compressedSize > archive->directoryStart - dataAt) {
        return ZIP_DATA_OUTSIDE;
    }
    if (entry->method == 0 && entry->compressedSize != entry->size) {
        return entry->compressedSize > entry->size ? ZIP_DATA_TOO_LONG : ZIP_DATA_TOO_SHORT;
    }
    reader->method = entry->method;
    reader->offset = dataAt;
    reader->left = entry->compressedSize;
    reader->declared = entry->size;
    reader->expectedCrc = entry->crc32;
    reader->crc = crc32(0L, Z_NULL, 0);
    if (entry->method == 8) {
        if (inflateInit2(&reader->stream, -MAX_WBITS) != Z_OK) {
            return ZIP_DATA_READ_ERROR;
        }
        reader->inflating = 1;
    }
    return ZIP_DATA_OK;
}

namespace {

// Refills the reader's input from the archive; 0 on a read error.
int Refill(ZipEntryReader* reader) {
    DWORD length = reader->left < ZIP_CHUNK_SIZE ? static_cast<DWORD>(reader->left) : ZIP_CHUNK_SIZE;
    if (length > 0 && !ReadAt(reader->archive->file, reader->offset, reader->input, length)) {
        return 0;
    }
    reader->offset += length;
    reader->left -= length;
    reader->stream.next_in = reader->input;
    reader->stream.avail_in = length;
    return 1;
}

int Finish(ZipEntryReader* reader) {
    if (reader->produced < reader->declared) {
        return ZIP_DATA_TOO_SHORT;
    }
    return reader->crc == reader->expectedCrc ? ZIP_DATA_OK : ZIP_DATA_CRC_MISMATCH;
}

}  // namespace

int ZipEntryRead(ZipEntryReader* reader, unsigned char* out, DWORD capacity, DWORD* got) {
    *got = 0;
    if (reader->ended) {
        return Finish(reader);
    }
    DWORD length = 0;
    if (reader->method == 0) {
        length = reader->left < capacity ? static_cast<DWORD>(reader->left) : capacity;
        if (length > 0 && !ReadAt(reader->archive->file, reader->offset, out, length)) {
            return ZIP_DATA_READ_ERROR;
        }
        reader->offset += length;
        reader->left -= length;
        reader->ended = reader->left == 0;
    } else {
        reader->stream.next_out = out;
        reader->stream.avail_out = capacity;
        while (reader->stream.avail_out == capacity && !reader->ended) {
            if (reader->stream.avail_in == 0) {
                if (reader->left == 0) {
                    return ZIP_DATA_DAMAGED;  // the compressed data ends before its end mark
                }
                if (!Refill(reader)) {
                    return ZIP_DATA_READ_ERROR;
                }
            }
            int status = inflate(&reader->stream, Z_NO_FLUSH);
            if (status == Z_STREAM_END) {
                reader->ended = 1;
            } else if (status != Z_OK && status != Z_BUF_ERROR) {
                return ZIP_DATA_DAMAGED;
            }
        }
        length = capacity - reader->stream.avail_out;
    }
    // Never hand out a byte beyond the declared size: a bomb stops here.
    if (length > reader->declared - reader->produced) {
        return ZIP_DATA_TOO_LONG;
    }
    reader->produced += length;
    reader->crc = crc32(reader->crc, out, length);
    *got = length;
    if (reader->ended && length == 0) {
        return Finish(reader);
    }
    return ZIP_DATA_OK;
}

void ZipEntryEnd(ZipEntryReader* reader) {
    if (reader->inflating) {
        inflateEnd(&reader->stream);
        reader->inflating = 0;
    }
}

const char* ZipArchiveStatusText(int status) {
    switch (status) {
        case ZIP_OK:
            return "readable";
        case ZIP_NOT_FOUND:
            return "not found";
        case ZIP_CANNOT_OPEN:
            return "cannot be opened";
        case ZIP_NOT_A_ZIP:
            return "not a zip archive";
        case ZIP_NO_END_RECORD:
            return "truncated: no complete end record";
        case ZIP_DIRECTORY_CUT_SHORT:
            return "truncated: the central directory is cut short";
        case ZIP_DIRECTORY_OUTSIDE:
            return "the central directory points outside the file";
        case ZIP_SPLIT:
            return "a split archive, which is not supported";
        default:
            return "read error";
    }
}

const char* ZipDataStatusText(int status) {
    switch (status) {
        case ZIP_DATA_OK:
            return "ok";
        case ZIP_DATA_UNSUPPORTED_METHOD:
            return "compression method is not supported";
        case ZIP_DATA_ENCRYPTED:
            return "encrypted entries are not supported";
        case ZIP_DATA_OUTSIDE:
            return "its data lies outside the archive";
        case ZIP_DATA_NO_LOCAL_HEADER:
            return "no local header where the central directory points";
        case ZIP_DATA_DAMAGED:
            return "the compressed data is damaged or cut short";
        case ZIP_DATA_TOO_LONG:
            return "the data is longer than its declared size";
        case ZIP_DATA_TOO_SHORT:
            return "the data is shorter than its declared size";
        case ZIP_DATA_CRC_MISMATCH:
            return "CRC-32 mismatch";
        default:
            return "read error";
    }
}
