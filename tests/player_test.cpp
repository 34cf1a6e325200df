// The stand-in player's side of the contract: it answers the query, acts on the pause toggle,
// routes its buttons through the window procedure chain, and loads plug-ins as the player does.
#include "plugin_loader.h"
#include "test_support.h"

class StandInPlayer : public PluginTest {};

struct ToggleRow {
    int row;
    LONG before;
    WORD command;
    LONG after;
};

TEST_F(StandInPlayer, AnswersTheQueryAndActsOnEachCommand)
{
    static const ToggleRow rows[] = {
        {1, PLAY_STATE_PLAYING, CMD_PAUSE, PLAY_STATE_PAUSED},   {2, PLAY_STATE_PAUSED, CMD_PAUSE, PLAY_STATE_PLAYING},
        {3, PLAY_STATE_STOPPED, CMD_PAUSE, PLAY_STATE_STOPPED},  {4, PLAY_STATE_STOPPED, CMD_PLAY, PLAY_STATE_PLAYING},
        {5, PLAY_STATE_PAUSED, CMD_PLAY, PLAY_STATE_PLAYING},    {6, PLAY_STATE_PLAYING, CMD_STOP, PLAY_STATE_STOPPED},
        {7, PLAY_STATE_PAUSED, CMD_NEXT, PLAY_STATE_PLAYING},    {8, PLAY_STATE_STOPPED, CMD_PREVIOUS, PLAY_STATE_STOPPED},
    };
    for (const ToggleRow &row : rows) {
        playerWindow.playState = row.before;
        EXPECT_EQ(SendMessageA(playerWindow.hwnd, PLAY_STATE_QUERY, 0, PLAY_STATE_QUERY_LPARAM), row.before)
            << "row " << row.row;
        pressPlayerButton(row.command);
        EXPECT_EQ(SendMessageA(playerWindow.hwnd, PLAY_STATE_QUERY, 0, PLAY_STATE_QUERY_LPARAM), row.after)
            << "row " << row.row;
    }
}

static WNDPROC laterSubclassPrevious;
static WORD laterSubclassSaw;

static LRESULT CALLBACK laterSubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMAND)
        laterSubclassSaw = LOWORD(wParam);
    return CallWindowProcA(laterSubclassPrevious, hwnd, message, wParam, lParam);
}

TEST_F(StandInPlayer, ItsButtonsReachASubclassInstalledAfterIt)
{
    HWND play = CreateWindowExA(0, "BUTTON", "Play", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 0, 0, 60, 20,
                                playerWindow.hwnd, (HMENU)(INT_PTR)CMD_PLAY, GetModuleHandleA(NULL), NULL);
    laterSubclassPrevious = (WNDPROC)SetWindowLongA(playerWindow.hwnd, GWL_WNDPROC, (LONG)laterSubclassProc);
    (void)SendMessageA(play, BM_CLICK, 0, 0);
    pumpMessagesFor(50);
    EXPECT_EQ(laterSubclassSaw, CMD_PLAY);
    EXPECT_EQ(playerWindow.playState, PLAY_STATE_PLAYING);
    (void)SetWindowLongA(playerWindow.hwnd, GWL_WNDPROC, (LONG)laterSubclassPrevious);
}

struct LoaderRow {
    int row;
    const char *relativePath;
    BOOL loads;
    const char *reasonContains;
};

TEST_F(StandInPlayer, LoadsOnlyRealPluginsAndSaysWhyNot)
{
    static const LoaderRow rows[] = {
        {1, "..\\no_such_plugin.dll", FALSE, "file not found"},
        {2, "test_support_missing\\gen_x.dll", FALSE, "file not found"},
        {3, "..\\testplugins\\gen_wrong_version.dll", FALSE, "header version 0x11"},
        {4, "..\\testplugins\\gen_inert.dll", TRUE, ""},
        {5, "..\\gen_hushgate_amp.dll", TRUE, ""},
    };
    for (const LoaderRow &row : rows) {
        char path[MAX_PATH];
        ASSERT_TRUE(pathBesideProgram(path, row.relativePath));
        LoadedPlugin loaded;
        char error[LOADER_MESSAGE_SIZE];
        EXPECT_EQ(loadPlugin(path, playerWindow.hwnd, loaded, error), row.loads) << "row " << row.row;
        EXPECT_NE(strstr(error, row.reasonContains), nullptr) << "row " << row.row << ": " << error;
        if (!row.loads)
            continue;
        EXPECT_EQ(loaded.header->hwndParent, playerWindow.hwnd) << "row " << row.row;
        EXPECT_EQ(loaded.header->hDllInstance, loaded.module) << "row " << row.row;
        unloadPlugin(loaded);
        EXPECT_EQ((WNDPROC)GetWindowLongA(playerWindow.hwnd, GWL_WNDPROC),
                  (WNDPROC)GetClassLongA(playerWindow.hwnd, GCL_WNDPROC))
            << "row " << row.row;
    }
    char error[LOADER_MESSAGE_SIZE];
    LoadedPlugin loaded;
    EXPECT_FALSE(loadPlugin("C:\\windows\\system32\\winmm.dll", playerWindow.hwnd, loaded, error));
    EXPECT_NE(strstr(error, "not a general-purpose plug-in"), nullptr) << error;
}
