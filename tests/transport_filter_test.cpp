// The filter in front of a real player window: the user's commands reach the player with
// the mute already released, and everything else reaches it unchanged.
#include "engine/transport_filter.h"
#include "engine/watch_loop.h"
#include "test_support.h"

class TransportFilter : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        if (mixerGetNumDevs() == 0)
            GTEST_SKIP() << "needs a mixer";
        installFilter();
    }
    void holdByMute(void)
    {
        playerWindow.playState = PLAY_STATE_PLAYING;
        ASSERT_TRUE(setSystemMute(TRUE));
        pollOnce();
        ASSERT_EQ(playerWindow.playState, PLAY_STATE_PAUSED);
        ASSERT_EQ(pluginState.pausedByPlugin, 1);
    }
};

TEST_F(TransportFilter, ManualStartWhileHeldByMuteReleasesTheMuteFirst)
{
    static const WORD starts[] = {CMD_PLAY, CMD_PAUSE, CMD_PREVIOUS, CMD_NEXT};
    setSettings(0, 0, 1, 500);
    for (WORD command : starts) {
        holdByMute();
        clearPlayerLog();
        pressPlayerButton(command);
        ASSERT_EQ(playerWindow.eventCount, 1) << commandName(command);
        EXPECT_EQ(playerEventAt(0).mutedOnArrival, 0) << commandName(command);
        EXPECT_EQ(playerWindow.playState, PLAY_STATE_PLAYING) << commandName(command);
        EXPECT_EQ(pluginState.pausedByPlugin, 0) << commandName(command);
        EXPECT_EQ(readSystemMute(), 0) << commandName(command);
        pollOnce();
        pollOnce();
        EXPECT_EQ(playerWindow.eventCount, 1) << commandName(command) << ": no later resume toggle";
    }
}

// The user started playback while another condition held: when that condition ends there is
// no pause left to resume, and the playback the user asked for goes on.
TEST_F(TransportFilter, AnotherConditionKeepsThePauseTheLoopsButItsEndLeavesTheUsersPlayback)
{
    setSettings(0, 1, 1, 500);
    setScreenSaverRunning(TRUE);
    holdByMute();
    clearPlayerLog();
    pressPlayerButton(CMD_PLAY);
    EXPECT_EQ(playerEventAt(0).mutedOnArrival, 0);
    EXPECT_EQ(readSystemMute(), 0);
    EXPECT_EQ(pluginState.pausedByPlugin, PLAYED_OVER_BY_USER);
    EXPECT_EQ(playerWindow.playState, PLAY_STATE_PLAYING);
    pollOnce();
    EXPECT_EQ(playerWindow.eventCount, 1);
    setScreenSaverRunning(FALSE);
    pollOnce();
    EXPECT_EQ(playerWindow.eventCount, 1);
    EXPECT_EQ(playerWindow.playState, PLAY_STATE_PLAYING);
    EXPECT_EQ(pluginState.pausedByPlugin, 0);
}

// Sits between the filter and the player: sees exactly what the filter handed on.
static WNDPROC behindRecorderPrevious;
static UINT recordedMessage;
static WPARAM recordedWParam;
static LPARAM recordedLParam;
static const UINT ECHO_MESSAGE = WM_APP + 7;

static LRESULT CALLBACK recorderProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != PLAY_STATE_QUERY) {
        recordedMessage = message;
        recordedWParam = wParam;
        recordedLParam = lParam;
    }
    if (message == ECHO_MESSAGE)
        return 0x5EED;
    return CallWindowProcA(behindRecorderPrevious, hwnd, message, wParam, lParam);
}

struct PassRow {
    int row;
    LONG state;
    LONG isMute;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result;
    LONG mutedAfter;
};

TEST_F(TransportFilter, LeavesTheMuteAloneAndPassesEverythingOnUnchanged)
{
    // The filter goes on top of the recorder, as a plug-in loaded after another would.
    (void)SetWindowLongA(pluginHeader.hwndParent, GWL_WNDPROC, (LONG)pluginState.previousWndProc);
    behindRecorderPrevious =
        (WNDPROC)SetWindowLongA(pluginHeader.hwndParent, GWL_WNDPROC, (LONG)recorderProc);
    installFilter();
    static const PassRow rows[] = {
        {1, PLAY_STATE_PLAYING, 1, WM_COMMAND, CMD_PAUSE, 0, 0, 1},
        {2, PLAY_STATE_PAUSED, 1, WM_COMMAND, CMD_STOP, 0, 0, 1},
        {3, PLAY_STATE_PAUSED, 0, WM_COMMAND, CMD_PLAY, 0, 0, 1},
        {4, PLAY_STATE_PAUSED, 1, WM_COMMAND, CMD_PREVIOUS - 1, 0x1234, 0, 1},
        {5, PLAY_STATE_PAUSED, 1, WM_COMMAND, CMD_NEXT + 1, 0, 0, 1},
        {6, PLAY_STATE_PAUSED, 1, ECHO_MESSAGE, CMD_PLAY, 0x77, 0x5EED, 1},
        {7, PLAY_STATE_PAUSED, 1, PLAY_STATE_QUERY, 0, PLAY_STATE_QUERY_LPARAM, PLAY_STATE_PAUSED, 1},
        {8, PLAY_STATE_PAUSED, 1, WM_COMMAND, MAKEWPARAM(CMD_PLAY, BN_CLICKED), 0x42, 0, 0},
    };
    for (const PassRow &row : rows) {
        setSettings(0, 0, row.isMute, 500);
        playerWindow.playState = row.state;
        ASSERT_TRUE(setSystemMute(TRUE));
        recordedMessage = 0;
        LRESULT result = SendMessageA(pluginHeader.hwndParent, row.message, row.wParam, row.lParam);
        EXPECT_EQ(result, row.result) << "row " << row.row;
        EXPECT_EQ(readSystemMute(), row.mutedAfter) << "row " << row.row;
        if (row.message != PLAY_STATE_QUERY) {
            EXPECT_EQ(recordedMessage, row.message) << "row " << row.row;
            EXPECT_EQ(recordedWParam, row.wParam) << "row " << row.row;
            EXPECT_EQ(recordedLParam, row.lParam) << "row " << row.row;
        }
    }
}

TEST_F(TransportFilter, TheLoopsOwnToggleTouchesNoMixer)
{
    playerWindow.playState = PLAY_STATE_PAUSED;
    ASSERT_TRUE(setSystemMute(TRUE));
    pluginState.issuingCommand = 1;
    startCountingCalls();
    pressPlayerButton(CMD_PAUSE);
    stopCountingCalls();
    pluginState.issuingCommand = 0;
    EXPECT_EQ(callCounts.mixerOpenAttempts + callCounts.mixerDetails, 0);
    EXPECT_EQ(readSystemMute(), 1);
    EXPECT_EQ(playerWindow.playState, PLAY_STATE_PLAYING);
}

TEST_F(TransportFilter, QuitPutsTheOriginalProcedureBack)
{
    (void)SetWindowLongA(pluginHeader.hwndParent, GWL_WNDPROC, (LONG)pluginState.previousWndProc);
    filterInstalled = FALSE;
    WNDPROC original = (WNDPROC)GetWindowLongA(pluginHeader.hwndParent, GWL_WNDPROC);
    pluginHeader.init();
    EXPECT_EQ((WNDPROC)GetWindowLongA(pluginHeader.hwndParent, GWL_WNDPROC), (WNDPROC)transportFilterProc);
    pluginHeader.quit();
    EXPECT_EQ((WNDPROC)GetWindowLongA(pluginHeader.hwndParent, GWL_WNDPROC), original);
}
