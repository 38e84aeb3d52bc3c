// Shortcut placement with real shell links on drives of the test prefix, and
// the result rules of the link writer with a stand-in link object.
#include "shortcuts/shortcuts.h"

#include "fake_platform.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <objbase.h>
#include <shlobj.h>

namespace {

// Drives S and T are mapped to folders of the build for these tests.
const std::string kRoot = "C:\\shortcut-test";
const std::string kDesktop = kRoot + "\\Desktop";
const std::string kPrograms = kRoot + "\\Programs";
const std::string kVendor = kPrograms + "\\Brindlecove";

struct Link {
    std::string target, description, workingDirectory;
    bool operator==(const Link& other) const {
        return target == other.target && description == other.description &&
               workingDirectory == other.workingDirectory;
    }
};

std::ostream& operator<<(std::ostream& out, const Link& link) {
    return out << "{" << link.target << " | " << link.description << " | " << link.workingDirectory << "}";
}

// Reads a link file back through the shell.
Link ReadLink(const std::string& path) {
    Link link{"<unreadable>", "", ""};
    CoInitialize(NULL);
    IShellLinkA* shell = NULL;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                   reinterpret_cast<void**>(&shell)))) {
        IPersistFile* file = NULL;
        if (SUCCEEDED(shell->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
            WCHAR wide[MAX_PATH];
            MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH);
            if (SUCCEEDED(file->Load(wide, STGM_READ))) {
                char text[MAX_PATH] = "";
                shell->GetPath(text, MAX_PATH, NULL, SLGP_RAWPATH);
                link.target = text;
                text[0] = '\0';
                shell->GetDescription(text, MAX_PATH);
                link.description = text;
                text[0] = '\0';
                shell->GetWorkingDirectory(text, MAX_PATH);
                link.workingDirectory = text;
            }
            file->Release();
        }
        shell->Release();
    }
    CoUninitialize();
    return link;
}

Link ExpectedLink(char drive) {
    std::string d(1, drive);
    return Link{d + ":\\Kestrow\\Tallywise.exe", "Activates Tallywise on " + d + " Drive", d + ":\\Kestrow"};
}

std::string InstallLink(char drive) { return std::string(1, drive) + ":\\Kestrow\\Tallywise.exe.lnk"; }
std::string Copy(const std::string& folder, char drive) {
    return folder + "\\" + std::string(1, drive) + "-Tallywise.exe.lnk";
}

class ShortcutsTest : public testing::Test {
  protected:
    void SetUp() override {
        ResetFake();
        RemoveTree(kRoot);
        for (const char* drive : {"S:\\Kestrow", "T:\\Kestrow"}) {
            RemoveTree(drive);
            ASSERT_TRUE(CreateDirectoryA(drive, NULL)) << drive << ": is the test drive mapped?";
        }
        std::filesystem::create_directories(kDesktop);
        std::filesystem::create_directories(kPrograms);
        fake.desktopFolder = kDesktop;
        fake.programsFolder = kPrograms;
    }
    void TearDown() override {
        RemoveTree(kRoot);
        RemoveTree("S:\\Kestrow");
        RemoveTree("T:\\Kestrow");
    }
};

TEST_F(ShortcutsTest, LinkInTheInstallFolderIsCopiedToDesktopAndStartMenu) {
    PlaceShortcuts('S');

    EXPECT_EQ(ReadLink(InstallLink('S')), ExpectedLink('S'));
    EXPECT_EQ(ReadLink(Copy(kDesktop, 'S')), ExpectedLink('S'));
    EXPECT_EQ(ReadLink(Copy(kVendor, 'S')), ExpectedLink('S'));
    // The current user's folders, never created by asking.
    EXPECT_EQ(EventsStartingWith("folder"), (std::vector<std::string>{"folder 0", "folder 2"}));
}

TEST_F(ShortcutsTest, InstallationsOnTwoDrivesKeepTheirOwnShortcuts) {
    // A leftover of an earlier installation on S is replaced.
    WriteFile(Copy(kDesktop, 'S'), "old shortcut");
    PlaceShortcuts('S');
    PlaceShortcuts('T');
    PlaceShortcuts('S');

    for (char drive : {'S', 'T'}) {
        EXPECT_EQ(ReadLink(Copy(kDesktop, drive)), ExpectedLink(drive));
        EXPECT_EQ(ReadLink(Copy(kVendor, drive)), ExpectedLink(drive));
    }
}

TEST_F(ShortcutsTest, PlainApplicationFileInTheVendorFolderIsRemoved) {
    std::filesystem::create_directories(kVendor);
    WriteFile(kVendor + "\\Tallywise.exe", "not a shortcut");

    PlaceShortcuts('S');

    EXPECT_FALSE(FileExists(kVendor + "\\Tallywise.exe"));
    EXPECT_TRUE(FileExists(Copy(kVendor, 'S')));
}

TEST_F(ShortcutsTest, WithoutAProgramListOnlyTheDesktopGetsACopy) {
    fake.programsFolder.clear();

    PlaceShortcuts('S');

    EXPECT_EQ(ReadLink(InstallLink('S')), ExpectedLink('S'));
    EXPECT_EQ(ReadLink(Copy(kDesktop, 'S')), ExpectedLink('S'));
    EXPECT_FALSE(FileExists(kVendor));
}

TEST_F(ShortcutsTest, WithoutADesktopTheStartMenuGetsOnlyThisDrivesEarlierLink) {
    fake.desktopFolder.clear();
    std::filesystem::create_directories(kVendor);
    WriteFile(kVendor + "\\Tallywise.exe", "plain file");
    WriteFile(Copy(kVendor, 'S'), "stale copy");
    // Another drive's link must never arrive under this drive's name.
    fake.desktopFolder = kDesktop;
    PlaceShortcuts('T');
    fake.desktopFolder.clear();

    PlaceShortcuts('S');

    EXPECT_FALSE(FileExists(InstallLink('S')));
    EXPECT_FALSE(FileExists(kVendor + "\\Tallywise.exe"));
    EXPECT_FALSE(FileExists(Copy(kVendor, 'S')));
    EXPECT_EQ(ReadLink(Copy(kVendor, 'T')), ExpectedLink('T'));

    // With a link left by an earlier installation on S, that link is copied.
    fake.desktopFolder = kDesktop;
    PlaceShortcuts('S');
    fake.desktopFolder.clear();
    RemoveTree(kVendor);

    PlaceShortcuts('S');

    EXPECT_EQ(ReadLink(Copy(kVendor, 'S')), ExpectedLink('S'));
}

// A folder that exists, with a name of exactly `length` characters.
std::string DeepFolder(const std::string& base, size_t length) {
    std::string deep = base;
    while (deep.size() < length) {
        deep += "\\folder-of-some-length";
    }
    deep = deep.substr(0, length);
    std::filesystem::create_directories(deep);
    return deep;
}

TEST_F(ShortcutsTest, FoldersTooLongForTheNamesAreSkippedNotTruncated) {
    // Room for the desktop folder but not for the copy's name behind it; room for
    // the program list but not for its vendor folder.
    fake.desktopFolder = DeepFolder(kRoot + "\\d", 240);
    fake.programsFolder = DeepFolder(kRoot + "\\p", 250);

    PlaceShortcuts('S');

    EXPECT_EQ(ReadLink(InstallLink('S')), ExpectedLink('S'));
    EXPECT_TRUE(std::filesystem::is_empty(fake.desktopFolder));
    EXPECT_TRUE(std::filesystem::is_empty(fake.programsFolder));
}

// A link object whose steps fail as told, and that records what was set on it.
class FakeLink : public IShellLinkA, public IPersistFile {
  public:
    HRESULT queryResult = S_OK;
    HRESULT saveResult = S_OK;
    std::vector<std::string> calls;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override {
        calls.push_back("QueryInterface");
        if (FAILED(queryResult) || !IsEqualIID(id, IID_IPersistFile)) {
            *object = NULL;
            return FAILED(queryResult) ? queryResult : E_NOINTERFACE;
        }
        *object = static_cast<IPersistFile*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override {
        calls.push_back("Release");
        return 1;
    }

    // IShellLinkA: only the three setters may be used.
    HRESULT STDMETHODCALLTYPE SetPath(LPCSTR path) override { return Record("SetPath", path); }
    HRESULT STDMETHODCALLTYPE SetDescription(LPCSTR text) override { return Record("SetDescription", text); }
    HRESULT STDMETHODCALLTYPE SetWorkingDirectory(LPCSTR dir) override {
        return Record("SetWorkingDirectory", dir);
    }
    HRESULT STDMETHODCALLTYPE GetPath(LPSTR, int, WIN32_FIND_DATAA*, DWORD) override { return Other(); }
    HRESULT STDMETHODCALLTYPE GetIDList(LPITEMIDLIST*) override { return Other(); }
    HRESULT STDMETHODCALLTYPE SetIDList(LPCITEMIDLIST) override { return Other(); }
    HRESULT STDMETHODCALLTYPE GetDescription(LPSTR, int) override { return Other(); }
    HRESULT STDMETHODCALLTYPE GetWorkingDirectory(LPSTR, int) override { return Other(); }
    HRESULT STDMETHODCALLTYPE GetArguments(LPSTR, int) override { return Other(); }
    HRESULT STDMETHODCALLTYPE SetArguments(LPCSTR) override { return Other(); }
    HRESULT STDMETHODCALLTYPE GetHotkey(WORD*) override { return Other(); }
    HRESULT STDMETHODCALLTYPE SetHotkey(WORD) override { return Other(); }
    HRESULT STDMETHODCALLTYPE GetShowCmd(int*) override { return Other(); }
    HRESULT STDMETHODCALLTYPE SetShowCmd(int) override { return Other(); }
    HRESULT STDMETHODCALLTYPE GetIconLocation(LPSTR, int, int*) override { return Other(); }
    HRESULT STDMETHODCALLTYPE SetIconLocation(LPCSTR, int) override { return Other(); }
    HRESULT STDMETHODCALLTYPE SetRelativePath(LPCSTR, DWORD) override { return Other(); }
    HRESULT STDMETHODCALLTYPE Resolve(HWND, DWORD) override { return Other(); }

    // IPersistFile
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID*) override { return Other(); }
    HRESULT STDMETHODCALLTYPE IsDirty() override { return Other(); }
    HRESULT STDMETHODCALLTYPE Load(LPCOLESTR, DWORD) override { return Other(); }
    HRESULT STDMETHODCALLTYPE Save(LPCOLESTR path, BOOL remember) override {
        char narrow[MAX_PATH];
        WideCharToMultiByte(CP_ACP, 0, path, -1, narrow, MAX_PATH, NULL, NULL);
        calls.push_back(std::string("Save ") + narrow + (remember ? " remember" : ""));
        return saveResult;
    }
    HRESULT STDMETHODCALLTYPE SaveCompleted(LPCOLESTR) override { return Other(); }
    HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR*) override { return Other(); }

  private:
    HRESULT Record(const char* name, const char* value) {
        calls.push_back(std::string(name) + " " + value);
        return E_FAIL;  // setter results never become the result
    }
    HRESULT Other() {
        calls.push_back("other");
        return E_NOTIMPL;
    }
};

class ShortcutFileTest : public testing::Test {
  protected:
    void SetUp() override {
        ResetFake();
        fake.coCreateInstance = [this](REFCLSID classId, IUnknown* outer, DWORD context, REFIID id,
                                       void** object) {
            created_ = IsEqualCLSID(classId, CLSID_ShellLink) && outer == NULL &&
                       context == CLSCTX_INPROC_SERVER && IsEqualIID(id, IID_IShellLinkA);
            if (FAILED(createResult_)) {
                *object = NULL;
                return createResult_;
            }
            *object = static_cast<IShellLinkA*>(&link_);
            return S_OK;
        };
    }
    HRESULT Create() {
        return CreateShortcutFile("S:\\Kestrow\\Tallywise.exe", "S:\\Kestrow\\Tallywise.exe.lnk",
                                  "Activates Tallywise on S Drive", "S:\\Kestrow");
    }

    FakeLink link_;
    HRESULT createResult_ = S_OK;
    bool created_ = false;
};

TEST_F(ShortcutFileTest, SetsOnlyPathDescriptionAndWorkingDirectoryThenSaves) {
    link_.saveResult = S_FALSE;

    EXPECT_EQ(Create(), S_FALSE);

    EXPECT_TRUE(created_);
    EXPECT_EQ(link_.calls,
              (std::vector<std::string>{
                  "SetPath S:\\Kestrow\\Tallywise.exe", "SetDescription Activates Tallywise on S Drive",
                  "SetWorkingDirectory S:\\Kestrow", "QueryInterface",
                  "Save S:\\Kestrow\\Tallywise.exe.lnk remember", "Release", "Release"}));
}

TEST_F(ShortcutFileTest, ResultIsThatOfTheFirstFailingStep) {
    createResult_ = REGDB_E_CLASSNOTREG;
    EXPECT_EQ(Create(), REGDB_E_CLASSNOTREG);
    EXPECT_TRUE(link_.calls.empty());

    createResult_ = S_OK;
    link_.queryResult = E_NOINTERFACE;
    EXPECT_EQ(Create(), E_NOINTERFACE);
    EXPECT_EQ(link_.calls.back(), "Release");

    link_.calls.clear();
    link_.queryResult = S_OK;
    link_.saveResult = STG_E_ACCESSDENIED;
    EXPECT_EQ(Create(), STG_E_ACCESSDENIED);
}

TEST(RealShortcutFileTest, SaveIntoAMissingFolderFails) {
    ResetFake();
    HRESULT result = CreateShortcutFile("C:\\x.exe", "C:\\no-such-folder\\x.lnk", "x", "C:\\");
    EXPECT_TRUE(FAILED(result)) << std::hex << result;
}

}  // namespace
