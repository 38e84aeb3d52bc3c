// Archive entry names: how their bytes are read, and which ones may be created
// below the destination at all.
#include "extractor/entry_name.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

ZipEntry EntryNamed(const char* name, unsigned flags, unsigned host) {
    ZipEntry entry;
    memset(&entry, 0, sizeof entry);
    strcpy(entry.name, name);
    entry.nameLength = static_cast<unsigned>(strlen(name));
    entry.flags = flags;
    entry.versionMadeBy = (host << 8) | 30;
    return entry;
}

}  // namespace

TEST(EntryNameTest, ReadsUtf8WhereMarkedOrFromUnixElseCodePage437) {
    struct Case {
        const char* stored;
        unsigned flags;
        unsigned host;
        const wchar_t* decoded;  // NULL: refused
    } cases[] = {
        {"caf\xc3\xa9", 0x0800, 0, L"caf\u00e9"},             // marked UTF-8, whatever the host
        {"\xe6\x97\xa5\xe6\x9c\xac", 0, 3, L"\u65e5\u672c"},  // unmarked from Unix, valid UTF-8
        {"caf\xc3\xa9", 0, 0, L"caf\u251c\u2310"},            // unmarked from DOS: code page 437
        {"\x82t\x82", 0, 3, L"\u00e9t\u00e9"},                // from Unix but not UTF-8: code page 437
        {"\x82t\x82", 0x0800, 3, NULL},                       // marked UTF-8 but is not
    };
    for (const Case& c : cases) {
        ZipEntry entry = EntryNamed(c.stored, c.flags, c.host);
        wchar_t name[ENTRY_PATH_CAPACITY];
        const char* refusal = DecodeEntryName(&entry, name, ENTRY_PATH_CAPACITY);
        if (c.decoded == NULL) {
            EXPECT_NE(refusal, nullptr) << c.stored;
        } else {
            ASSERT_EQ(refusal, nullptr) << c.stored;
            EXPECT_EQ(std::wstring(name), std::wstring(c.decoded)) << c.stored;
        }
    }
}

TEST(EntryNameTest, RefusesEveryNameThatCouldLeaveTheDestination) {
    const wchar_t* refused[] = {
        L"/x",    L"\\x",        L"C:x",  L"c:/x",    L"../x",       L"a/../../x", L"a\\..\\x",
        L"..",    L"a/b:stream", L"CON",  L"con.txt", L"Nul.tar.gz", L"a/COM1",    L"lpt9.log",
        L"aux/x", L"CON .txt",   L"a/b.", L"a/b ",    L"a./b",       L"a\x01.txt", L"a\x1f",
        L"a\x7f", L"a?b",        L"a*b",  L"a<b",     L"a|b",        L"",
    };
    for (const wchar_t* name : refused) {
        wchar_t path[ENTRY_PATH_CAPACITY];
        EXPECT_NE(CheckEntryName(name, path, ENTRY_PATH_CAPACITY), nullptr)
            << std::string(name, name + wcslen(name));
    }
}

TEST(EntryNameTest, AcceptsOrdinaryNamesAndJoinsTheirFolders) {
    struct Case {
        const wchar_t* name;
        const wchar_t* path;
    } cases[] = {
        {L"a..b.txt", L"a..b.txt"},
        {L"..hidden", L"..hidden"},
        {L"Tallywise/data/x.csv", L"Tallywise\\data\\x.csv"},
        {L"Tallywise\\data\\", L"Tallywise\\data"},
        {L"./Tallywise//x", L"Tallywise\\x"},
        {L"./", L""},
        {L"CONSOLE.txt", L"CONSOLE.txt"},
        {L"COM10", L"COM10"},
        {L"com0", L"com0"},
        {L"\u65e5\u672c/caf\u00e9", L"\u65e5\u672c\\caf\u00e9"},
    };
    for (const Case& c : cases) {
        wchar_t path[ENTRY_PATH_CAPACITY];
        ASSERT_EQ(CheckEntryName(c.name, path, ENTRY_PATH_CAPACITY), nullptr)
            << std::string(c.name, c.name + wcslen(c.name));
        EXPECT_EQ(std::wstring(path), std::wstring(c.path));
    }
}

TEST(EntryNameTest, APathThatDoesNotFitIsRefused) {
    wchar_t path[8];
    EXPECT_EQ(CheckEntryName(L"abc/def", path, 8), nullptr);
    EXPECT_NE(CheckEntryName(L"abc/defg", path, 8), nullptr);
}
