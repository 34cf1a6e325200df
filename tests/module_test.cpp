// The built gen_hushgate_amp.dll as the player sees it: its one export, its header, the
// system DLLs it imports, its dialog template and its version record.
#include <windows.h>

#include <gtest/gtest.h>

#include "plugin/host_contract.h"
#include "plugin_loader.h"
#include "resources/resource.h"

static HMODULE loadBuiltPlugin(DWORD flags)
{
    char path[MAX_PATH];
    if (!pathBesideProgram(path, "..\\gen_hushgate_amp.dll"))
        return NULL;
    return LoadLibraryExA(path, NULL, flags);
}

TEST(Module, ExportsOnlyTheHeaderAtOrdinalOne)
{
    HMODULE plugin = loadBuiltPlugin(0);
    ASSERT_NE(plugin, (HMODULE)NULL);
    FARPROC byName = GetProcAddress(plugin, PLUGIN_HEADER_EXPORT);
    ASSERT_NE(byName, (FARPROC)NULL);
    EXPECT_EQ(GetProcAddress(plugin, (LPCSTR)1), byName);
    EXPECT_EQ(GetProcAddress(plugin, (LPCSTR)2), (FARPROC)NULL);

    PluginHeader *header = ((GetPluginHeaderProc)(void *)byName)();
    EXPECT_EQ(header->version, PLUGIN_HEADER_VERSION);
    EXPECT_STREQ(header->description, "Hushgate v1.0");
    EXPECT_NE(header->init, nullptr);
    EXPECT_NE(header->config, nullptr);
    EXPECT_NE(header->quit, nullptr);
    EXPECT_EQ(header->hwndParent, (HWND)NULL);
    EXPECT_EQ(header->hDllInstance, (HINSTANCE)NULL);
    FreeLibrary(plugin);
}

TEST(Module, ImportsOnlySystemDlls)
{
    HMODULE plugin = loadBuiltPlugin(DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(plugin, (HMODULE)NULL);
    BYTE *base = (BYTE *)plugin;
    IMAGE_NT_HEADERS *nt = (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
    IMAGE_DATA_DIRECTORY imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    static const char *const allowed[] = {"kernel32.dll", "user32.dll", "winmm.dll", "ole32.dll", "msvcrt.dll"};
    int count = 0;
    for (IMAGE_IMPORT_DESCRIPTOR *dll = (IMAGE_IMPORT_DESCRIPTOR *)(base + imports.VirtualAddress); dll->Name != 0;
         ++dll, ++count) {
        const char *name = (const char *)(base + dll->Name);
        BOOL isAllowed = FALSE;
        for (const char *system : allowed)
            isAllowed |= lstrcmpiA(name, system) == 0;
        EXPECT_TRUE(isAllowed) << name;
    }
    EXPECT_GE(count, 3);
    FreeLibrary(plugin);
}

// Walks an extended dialog template: words, then strings or ordinals, DWORD-aligned items.
struct TemplateReader {
    const BYTE *at;
    WORD word() { WORD value = *(const WORD *)at; at += 2; return value; }
    DWORD dword() { DWORD value = *(const DWORD *)at; at += 4; return value; }
    short coordinate() { return (short)word(); }
    std::string text()
    {
        std::string result;
        if (*(const WORD *)at == 0xFFFF) {
            at += 2;
            result = "#" + std::to_string(word());
            return result;
        }
        for (WORD c; (c = word()) != 0;)
            result += c < 0x80 ? (char)c : '?';
        return result;
    }
    std::wstring wideText()
    {
        std::wstring result;
        for (WORD c; (c = word()) != 0;)
            result += (wchar_t)c;
        return result;
    }
    void alignToDword(const BYTE *start) { at = start + ((at - start + 3) & ~3); }
};

struct ControlRow {
    int row;
    int id;
    const char *windowClass;
    const char *text;
    short x, y, cx, cy;
    DWORD style;
};

TEST(Module, CarriesTheJapaneseSettingsDialog)
{
    HMODULE plugin = loadBuiltPlugin(LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(plugin, (HMODULE)NULL);
    HRSRC resource = FindResourceExA(plugin, (LPCSTR)RT_DIALOG, MAKEINTRESOURCEA(IDD_SETTINGS),
                                     MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
    ASSERT_NE(resource, (HRSRC)NULL) << "template 101 in Japanese";
    const BYTE *start = (const BYTE *)LockResource(LoadResource(plugin, resource));
    TemplateReader reader = {start};
    EXPECT_EQ(reader.word(), 1);       // dlgVer
    EXPECT_EQ(reader.word(), 0xFFFF);  // signature: DIALOGEX
    EXPECT_EQ(reader.dword(), 0u);     // helpID
    EXPECT_EQ(reader.dword(), 0u);     // exStyle
    EXPECT_EQ(reader.dword(), 0x80C808C8u);
    WORD controls = reader.word();
    EXPECT_EQ(controls, 12);
    EXPECT_EQ(reader.coordinate(), 0);
    EXPECT_EQ(reader.coordinate(), 0);
    EXPECT_EQ(reader.coordinate(), 171);
    EXPECT_EQ(reader.coordinate(), 138);
    EXPECT_EQ(reader.text(), "");  // menu
    EXPECT_EQ(reader.text(), "");  // class
    EXPECT_EQ(reader.text(), "setting about hushgate");
    EXPECT_EQ(reader.word(), 8);    // point size
    EXPECT_EQ(reader.word(), 400);  // weight
    EXPECT_EQ(*reader.at++, 0);     // italic
    EXPECT_EQ(*reader.at++, 1);     // character set
    EXPECT_EQ(reader.text(), "MS Shell Dlg");

    const DWORD shown = WS_CHILD | WS_VISIBLE;
    static const ControlRow rows[] = {
        {1, IDOK, "#128", "OK", 114, 117, 50, 14, shown | BS_DEFPUSHBUTTON | WS_TABSTOP},
        {2, IDCANCEL, "#128", "", 58, 117, 50, 14, shown | BS_PUSHBUTTON | WS_TABSTOP},
        {3, 1001, "#128", "pausing while computer is locked", 7, 4, 121, 10, shown | BS_AUTOCHECKBOX | WS_TABSTOP},
        {4, 1002, "#128", "pausing while screensaver is running", 7, 17, 133, 10,
         shown | BS_AUTOCHECKBOX | WS_TABSTOP},
        {5, 1003, "#128", "pausing while soundcontroll is muting", 7, 31, 133, 10,
         shown | BS_AUTOCHECKBOX | WS_TABSTOP},
        {6, 1004, "#128", "pausing when the output device goes away", 7, 44, 157, 10,
         shown | BS_AUTOCHECKBOX | WS_TABSTOP},
        {7, 1005, "#128", "pausing while another program uses a microphone", 7, 57, 160, 10,
         shown | BS_AUTOCHECKBOX | WS_TABSTOP},
        {8, 1008, "#130", "except these programs:", 19, 70, 145, 8, shown | SS_LEFT | WS_GROUP},
        {9, 1006, "#129", "", 19, 79, 145, 14, shown | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL},
        {10, 1007, "#129", "", 50, 98, 25, 14, shown | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL},
        {11, -1, "#130", "check every", 9, 101, 40, 8, shown | SS_LEFT | WS_GROUP},
        {12, -1, "#130", "millisecond (100 to 10000)", 79, 101, 84, 8, shown | SS_LEFT | WS_GROUP},
    };
    for (int i = 0; i < controls && i < (int)ARRAYSIZE(rows); ++i) {
        const ControlRow &row = rows[i];
        reader.alignToDword(start);
        EXPECT_EQ(reader.dword(), 0u) << "row " << row.row;  // helpID
        EXPECT_EQ(reader.dword(), 0u) << "row " << row.row;  // exStyle
        EXPECT_EQ(reader.dword(), row.style) << "row " << row.row;
        EXPECT_EQ(reader.coordinate(), row.x) << "row " << row.row;
        EXPECT_EQ(reader.coordinate(), row.y) << "row " << row.row;
        EXPECT_EQ(reader.coordinate(), row.cx) << "row " << row.row;
        EXPECT_EQ(reader.coordinate(), row.cy) << "row " << row.row;
        EXPECT_EQ((int)reader.dword(), row.id) << "row " << row.row;
        EXPECT_EQ(reader.text(), row.windowClass) << "row " << row.row;
        if (row.id == IDCANCEL)
            EXPECT_EQ(reader.wideText(), std::wstring(L"\u30AD\u30E3\u30F3\u30BB\u30EB")) << "row " << row.row;
        else
            EXPECT_EQ(reader.text(), row.text) << "row " << row.row;
        reader.at += 2 + *(const WORD *)reader.at;  // creation data
    }
    FreeLibrary(plugin);
}

TEST(Module, CarriesItsVersion)
{
    HMODULE plugin = loadBuiltPlugin(LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(plugin, (HMODULE)NULL);
    HRSRC resource = FindResourceA(plugin, MAKEINTRESOURCEA(VS_VERSION_INFO), (LPCSTR)RT_VERSION);
    ASSERT_NE(resource, (HRSRC)NULL);
    const BYTE *data = (const BYTE *)LockResource(LoadResource(plugin, resource));
    DWORD size = SizeofResource(plugin, resource);
    const VS_FIXEDFILEINFO *fixed = NULL;
    for (DWORD offset = 0; offset + sizeof *fixed <= size; offset += 4) {
        if (((const VS_FIXEDFILEINFO *)(data + offset))->dwSignature == VS_FFI_SIGNATURE) {
            fixed = (const VS_FIXEDFILEINFO *)(data + offset);
            break;
        }
    }
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileType, (DWORD)VFT_DLL);
    FreeLibrary(plugin);
}
