#include "zip_writer.h"

#include <zlib.h>

#include <string.h>

namespace {

const DWORD kChunk = 65536;
const unsigned long long kZip64Limit = 0xffffffffull;
const unsigned kFlagUtf8 = 0x0800;
const unsigned kMadeByDos = 45;  // MS-DOS attributes, format version 4.5
const unsigned kNeeded = 20;
const unsigned kNeededZip64 = 45;

// Little-endian fields into a buffer.
struct Record {
    unsigned char bytes[128];
    DWORD size;
};

void Put16(Record* r, unsigned value) {
    r->bytes[r->size++] = static_cast<unsigned char>(value);
    r->bytes[r->size++] = static_cast<unsigned char>(value >> 8);
}
void Put32(Record* r, unsigned long value) {
    Put16(r, static_cast<unsigned>(value & 0xffff));
    Put16(r, static_cast<unsigned>(value >> 16));
}
void Put64(Record* r, unsigned long long value) {
    Put32(r, static_cast<unsigned long>(value & 0xffffffffull));
    Put32(r, static_cast<unsigned long>(value >> 32));
}

int Write(HANDLE file, const void* data, DWORD size) {
    DWORD written = 0;
    return WriteFile(file, data, size, &written, NULL) && written == size ? 1 : 0;
}

int Seek(HANDLE file, unsigned long long offset) {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, position, NULL, FILE_BEGIN) ? 1 : 0;
}

struct EntryFacts {
    const char* name;
    unsigned nameLength;
    unsigned flags;
    unsigned method;
    unsigned dosTime;
    unsigned dosDate;
    unsigned long unixTime;
    unsigned long crc;
    unsigned long long packed;
    unsigned long long size;
    unsigned long long offset;
    unsigned long attributes;
    int zip64Local;  // the local header carries zip64 sizes
};

void Times(const FILETIME* modified, EntryFacts* facts) {
    FILETIME local;
    WORD date = 0;
    WORD time = 0;
    if (FileTimeToLocalFileTime(modified, &local) && FileTimeToDosDateTime(&local, &date, &time)) {
        facts->dosDate = date;
        facts->dosTime = time;
    } else {
        facts->dosDate = (1 << 5) | 1;  // 1980-01-01, the earliest the format knows
        facts->dosTime = 0;
    }
    ULARGE_INTEGER ticks;
    ticks.LowPart = modified->dwLowDateTime;
    ticks.HighPart = modified->dwHighDateTime;
    unsigned long long seconds = ticks.QuadPart / 10000000ull;
    facts->unixTime = seconds > 11644473600ull ? static_cast<unsigned long>(seconds - 11644473600ull) : 0;
}

void LocalHeader(const EntryFacts* f, Record* r) {
    r->size = 0;
    Put32(r, 0x04034b50);
    Put16(r, f->zip64Local ? kNeededZip64 : kNeeded);
    Put16(r, f->flags);
    Put16(r, f->method);
    Put16(r, f->dosTime);
    Put16(r, f->dosDate);
    Put32(r, f->crc);
    Put32(r, f->zip64Local ? 0xffffffff : static_cast<unsigned long>(f->packed));
    Put32(r, f->zip64Local ? 0xffffffff : static_cast<unsigned long>(f->size));
    Put16(r, f->nameLength);
    Put16(r, 9 + (f->zip64Local ? 20 : 0));
}

void LocalExtra(const EntryFacts* f, Record* r) {
    r->size = 0;
    Put16(r, 0x5455);  // extended timestamp: the modification time, UTC
    Put16(r, 5);
    r->bytes[r->size++] = 1;
    Put32(r, f->unixTime);
    if (f->zip64Local) {
        Put16(r, 0x0001);
        Put16(r, 16);
        Put64(r, f->size);
        Put64(r, f->packed);
    }
}

// The central directory record of an entry, name and extra fields included.
int CentralRecord(ZipWriter* writer, const EntryFacts* f) {
    int bigSize = f->size >= kZip64Limit || f->packed >= kZip64Limit;
    int bigOffset = f->offset >= kZip64Limit;
    Record r;
    r.size = 0;
    Put32(&r, 0x02014b50);
    Put16(&r, kMadeByDos);
    Put16(&r, bigSize || bigOffset || f->zip64Local ? kNeededZip64 : kNeeded);
    Put16(&r, f->flags);
    Put16(&r, f->method);
    Put16(&r, f->dosTime);
    Put16(&r, f->dosDate);
    Put32(&r, f->crc);
    Put32(&r, bigSize ? 0xffffffff : static_cast<unsigned long>(f->packed));
    Put32(&r, bigSize ? 0xffffffff : static_cast<unsigned long>(f->size));
    Put16(&r, f->nameLength);
    unsigned zip64Length = (bigSize ? 16 : 0) + (bigOffset ? 8 : 0);
    Put16(&r, 9 + (zip64Length > 0 ? 4 + zip64Length : 0));
    Put16(&r, 0);  // comment
    Put16(&r, 0);  // disk
    Put16(&r, 0);  // internal attributes
    Put32(&r, f->attributes);
    Put32(&r, bigOffset ? 0xffffffff : static_cast<unsigned long>(f->offset));
    Record extra;
    extra.size = 0;
    Put16(&extra, 0x5455);
    Put16(&extra, 5);
    extra.bytes[extra.size++] = 1;
    Put32(&extra, f->unixTime);
    if (zip64Length > 0) {
        Put16(&extra, 0x0001);
        Put16(&extra, zip64Length);
        if (bigSize) {
            Put64(&extra, f->size);
            Put64(&extra, f->packed);
        }
        if (bigOffset) {
            Put64(&extra, f->offset);
        }
    }
    if (!Write(writer->central, r.bytes, r.size) || !Write(writer->central, f->name, f->nameLength) ||
        !Write(writer->central, extra.bytes, extra.size)) {
        return 0;
    }
    writer->centralSize += r.size + f->nameLength + extra.size;
    ++writer->entries;
    return 1;
}

int StartEntry(ZipWriter* writer, EntryFacts* f, const char* name, const FILETIME* modified) {
    memset(f, 0, sizeof *f);
    f->name = name;
    f->nameLength = static_cast<unsigned>(strlen(name));
    for (const char* c = name; *c != '\0'; ++c) {
        if (static_cast<unsigned char>(*c) >= 0x80) {
            f->flags = kFlagUtf8;
        }
    }
    f->offset = writer->offset;
    Times(modified, f);
    return f->nameLength > 0 && f->nameLength <= 0xffff ? 1 : 0;
}

int WriteLocal(ZipWriter* writer, const EntryFacts* f) {
    Record header;
    Record extra;
    LocalHeader(f, &header);
    LocalExtra(f, &extra);
    return Write(writer->archive, header.bytes, header.size) &&
                   Write(writer->archive, f->name, f->nameLength) &&
                   Write(writer->archive, extra.bytes, extra.size)
               ? 1
               : 0;
}

// Streams `source` into the archive at the current position, deflated unless
// `method` is 0; fills in the CRC and both sizes. 0 on a read or write error.
int CopyData(ZipWriter* writer, HANDLE source, int method, EntryFacts* f, int* expanded) {
    static unsigned char input[kChunk];
    static unsigned char output[kChunk];
    z_stream stream;
    memset(&stream, 0, sizeof stream);
    if (method == 8 &&
        deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
        return 0;
    }
    f->crc = crc32(0L, Z_NULL, 0);
    f->size = 0;
    f->packed = 0;
    *expanded = 0;
    int ok = 1;
    int finished = 0;
    while (ok && !finished) {
        DWORD got = 0;
        ok = ReadFile(source, input, kChunk, &got, NULL);
        finished = got == 0;
        f->crc = crc32(f->crc, input, got);
        f->size += got;
        if (method == 0) {
            ok = ok && Write(writer->archive, input, got);
            f->packed += got;
            continue;
        }
        stream.next_in = input;
        stream.avail_in = got;
        do {
            stream.next_out = output;
            stream.avail_out = kChunk;
            deflate(&stream, finished ? Z_FINISH : Z_NO_FLUSH);
            DWORD produced = kChunk - stream.avail_out;
            ok = ok && Write(writer->archive, output, produced);
            f->packed += produced;
        } while (ok && stream.avail_out == 0);
        // Deflate did not shrink it: the caller stores it instead.
        if (f->packed > f->size + kChunk) {
            *expanded = 1;
            break;
        }
    }
    if (method == 8) {
        deflateEnd(&stream);
        *expanded = *expanded || f->packed >= f->size;
    }
    return ok;
}

}  // namespace

int ZipWriterOpen(ZipWriter* writer, const wchar_t* archivePath, const wchar_t* centralPath) {
    memset(writer, 0, sizeof *writer);
    writer->archive = CreateFileW(archivePath, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
    writer->central = CreateFileW(centralPath, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_NEW,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, NULL);
    if (writer->archive == INVALID_HANDLE_VALUE || writer->central == INVALID_HANDLE_VALUE) {
        ZipWriterAbandon(writer);
        return 0;
    }
    return 1;
}

int ZipWriterAddFolder(ZipWriter* writer, const char* name, const FILETIME* modified, const char** problem) {
    EntryFacts f;
    if (!StartEntry(writer, &f, name, modified)) {
        *problem = "the name is too long for an archive";
        return 0;
    }
    f.attributes = FILE_ATTRIBUTE_DIRECTORY;
    f.crc = 0;
    if (!WriteLocal(writer, &f) || !CentralRecord(writer, &f)) {
        *problem = "cannot be written";
        return 0;
    }
    writer->offset += 30 + f.nameLength + 9;
    return 1;
}

int ZipWriterAddFile(ZipWriter* writer, const char* name, const wchar_t* source, const FILETIME* modified,
                     const char** problem) {
    EntryFacts f;
    if (!StartEntry(writer, &f, name, modified)) {
        *problem = "the name is too long for an archive";
        return 0;
    }
    HANDLE input = CreateFileW(source, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    LARGE_INTEGER length;
    if (input == INVALID_HANDLE_VALUE || !GetFileSizeEx(input, &length)) {
        if (input != INVALID_HANDLE_VALUE) {
            CloseHandle(input);
        }
        *problem = "cannot be read";
        return 0;
    }
    f.zip64Local = static_cast<unsigned long long>(length.QuadPart) >= kZip64Limit;
    f.method = 8;
    unsigned long long dataAt = writer->offset + 30 + f.nameLength + 9 + (f.zip64Local ? 20 : 0);
    int expanded = 0;
    int ok = WriteLocal(writer, &f) && CopyData(writer, input, 8, &f, &expanded);
    if (ok && expanded) {
        // Stored instead, over what deflate wrote.
        LARGE_INTEGER start = {};
        f.method = 0;
        ok = Seek(writer->archive, dataAt) && SetEndOfFile(writer->archive) &&
             SetFilePointerEx(input, start, NULL, FILE_BEGIN) && CopyData(writer, input, 0, &f, &expanded);
    }
    CloseHandle(input);
    if (ok && (f.size != static_cast<unsigned long long>(length.QuadPart) ||
               (!f.zip64Local && f.size >= kZip64Limit))) {
        *problem = "changed while it was being read";
        return 0;
    }
    // The header, now that the CRC and the sizes are known.
    Record header;
    LocalHeader(&f, &header);
    Record extra;
    LocalExtra(&f, &extra);
    unsigned long long end = dataAt + f.packed;
    ok = ok && Seek(writer->archive, writer->offset) && Write(writer->archive, header.bytes, header.size) &&
         Seek(writer->archive, writer->offset + header.size + f.nameLength) &&
         Write(writer->archive, extra.bytes, extra.size) && Seek(writer->archive, end) &&
         CentralRecord(writer, &f);
    if (!ok) {
        *problem = "cannot be written into the archive";
        return 0;
    }
    writer->offset = end;
    return 1;
}

int ZipWriterFinish(ZipWriter* writer, const char** problem) {
    unsigned long long start = writer->offset;
    unsigned char chunk[kChunk];
    int ok = Seek(writer->central, 0);
    for (unsigned long long left = writer->centralSize; ok && left > 0;) {
        DWORD want = left < kChunk ? static_cast<DWORD>(left) : kChunk;
        DWORD got = 0;
        ok = ReadFile(writer->central, chunk, want, &got, NULL) && got == want &&
             Write(writer->archive, chunk, got);
        left -= want;
    }
    unsigned long long end = start + writer->centralSize;
    Record r;
    if (ok && (writer->entries >= 0xffff || start >= kZip64Limit || writer->centralSize >= kZip64Limit)) {
        r.size = 0;
        Put32(&r, 0x06064b50);
        Put64(&r, 44);
        Put16(&r, kMadeByDos);
        Put16(&r, kNeededZip64);
        Put32(&r, 0);
        Put32(&r, 0);
        Put64(&r, writer->entries);
        Put64(&r, writer->entries);
        Put64(&r, writer->centralSize);
        Put64(&r, start);
        Put32(&r, 0x07064b50);
        Put32(&r, 0);
        Put64(&r, end);
        Put32(&r, 1);
        ok = Write(writer->archive, r.bytes, r.size);
    }
    r.size = 0;
    Put32(&r, 0x06054b50);
    Put16(&r, 0);
    Put16(&r, 0);
    unsigned count = writer->entries >= 0xffff ? 0xffff : static_cast<unsigned>(writer->entries);
    Put16(&r, count);
    Put16(&r, count);
    Put32(&r,
          writer->centralSize >= kZip64Limit ? 0xffffffff : static_cast<unsigned long>(writer->centralSize));
    Put32(&r, start >= kZip64Limit ? 0xffffffff : static_cast<unsigned long>(start));
    Put16(&r, 0);
    ok = ok && Write(writer->archive, r.bytes, r.size);
    ok = CloseHandle(writer->archive) && ok;
    CloseHandle(writer->central);
    writer->archive = INVALID_HANDLE_VALUE;
    writer->central = INVALID_HANDLE_VALUE;
    if (!ok) {
        *problem = "the archive cannot be written";
    }
    return ok;
}

void ZipWriterAbandon(ZipWriter* writer) {
    if (writer->archive != INVALID_HANDLE_VALUE && writer->archive != NULL) {
        CloseHandle(writer->archive);
    }
    if (writer->central != INVALID_HANDLE_VALUE && writer->central != NULL) {
        CloseHandle(writer->central);
    }
    writer->archive = INVALID_HANDLE_VALUE;
    writer->central = INVALID_HANDLE_VALUE;
}
