// The default speakers' own mute, read and released through the plug-in's Core Audio calls.
// Its CoCreateInstance import hands out the simulated endpoint (Wine keeps a real endpoint's
// mute per object); one smoke run goes through Wine's own Core Audio.
#include <objbase.h>

#include "engine/master_mute.h"
#include "engine/output_device.h"
#include "engine/pause_conditions.h"
#include "engine/sleep_hold.h"
#include "engine/watch_loop.h"
#include "import_patch.h"
#include "simulated_jacks.h"
#include "simulated_sessions.h"
#include "simulated_speakers.h"
#include "test_support.h"

class EndpointMute : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        setSettings(0, 0, 1, 100);
        playerWindow.playState = PLAY_STATE_PLAYING;
    }
    void TearDown() override
    {
        EXPECT_EQ(simulatedSpeakers.liveObjects, 0) << "a reference to the endpoint was not released";
        PluginTest::TearDown();
    }
    void expectPoll(LONG state, LONG pausedByPlugin, const char *what)
    {
        pollOnce();
        EXPECT_EQ(playerWindow.playState, state) << what;
        EXPECT_EQ(pluginState.pausedByPlugin, pausedByPlugin) << what;
    }
};

TEST_F(EndpointMute, HoldsWhileTheDefaultSpeakersAreMutedWhicheverDeviceThatIs)
{
    installFilter();
    setSpeakersMuted(TRUE);
    expectPoll(PLAY_STATE_PAUSED, 1, "speakers muted");
    simulatedSpeakers.defaultDevice = 1;  // headphones plugged in: the new default is not muted
    expectPoll(PLAY_STATE_PLAYING, 0, "default moved to unmuted headphones");
    simulatedSpeakers.defaultDevice = 0;
    expectPoll(PLAY_STATE_PAUSED, 1, "back on the muted speakers");
    simulatedSpeakers.defaultDevice = NO_DEFAULT_SPEAKERS;
    expectPoll(PLAY_STATE_PLAYING, 0, "no output device at all");
    simulatedSpeakers.defaultDevice = 0;
    expectPoll(PLAY_STATE_PAUSED, 1, "speakers again");
    setSpeakersMuted(FALSE);
    expectPoll(PLAY_STATE_PLAYING, 0, "speakers unmuted");
    EXPECT_EQ(pauseTogglesSeen(), 6);
}

// Every mute that is set is cleared before the player receives the command.
TEST_F(EndpointMute, AManualStartReleasesEveryMuteBeforeThePlayerActs)
{
    installFilter();
    BOOL machineHasMixer = mixerGetNumDevs() > 0;
    for (BOOL mixerToo : {FALSE, TRUE}) {
        if (mixerToo && !machineHasMixer)
            continue;
        setSpeakersMuted(TRUE);
        (void)setSystemMute(mixerToo);
        expectPoll(PLAY_STATE_PAUSED, 1, "held");
        clearPlayerLog();
        pressPlayerButton(CMD_PLAY);
        ASSERT_EQ(playerWindow.eventCount, 1);
        EXPECT_EQ(playerEventAt(0).mutedOnArrival, 0) << "mixer muted too: " << mixerToo;
        EXPECT_FALSE(speakersMuted());
        EXPECT_EQ(readSystemMute(), 0);
        EXPECT_EQ(pluginState.pausedByPlugin, 0);
        expectPoll(PLAY_STATE_PLAYING, 0, "no resume toggle after the manual start");
        EXPECT_EQ(playerWindow.eventCount, 1);
    }
}

// Watched, the release is told back to the plug-in's own callback, as Windows tells every
// client, from a thread of its own and while a look may run: the music plays on.
TEST_F(EndpointMute, ItsOwnReleaseToldBackChangesNothing)
{
    noticeThreads.fromOwnThreads = 1;
    writeTestSettings("[Hushgate]\r\nISLOCK=0\r\nISSCREENSAVE=0\r\nCHECKTIME=10000\r\n");
    startCountingCalls();
    pluginHeader.init();
    ASSERT_TRUE(waitForWatchThreadWaits(1, 2000));
    setSpeakersMuted(TRUE);
    EXPECT_TRUE(pumpMessagesUntil(2000, [] { return (BOOL)(pluginState.pausedByPlugin == 1); })) << "not held";
    LONG waits = callCounts.watchThreadWaits;
    clearPlayerLog();
    pressPlayerButton(CMD_PLAY);
    EXPECT_FALSE(speakersMuted());
    EXPECT_TRUE(waitForWatchThreadWaits(waits + 1, 2000)) << "its own release was not told back";
    pumpMessagesFor(200);
    EXPECT_EQ(playerWindow.eventCount, 1) << "the plug-in acted on its own release";
    EXPECT_EQ(playerWindow.playState, PLAY_STATE_PLAYING);
    pluginHeader.quit();
}

TEST_F(EndpointMute, AFailureAtAnyStepReadsAsNotMutedAndIsTriedAgain)
{
    for (int step = SPEAKER_STEP_CREATE; step <= SPEAKER_STEP_GET_MUTE; ++step) {
        setSpeakersMuted(TRUE);
        simulatedSpeakers.failing[step] = 1;
        EXPECT_EQ(readMasterMute(), 0) << "step " << step;
        EXPECT_FALSE(shouldHoldPlayback()) << "step " << step;
        simulatedSpeakers.failing[step] = 0;
        EXPECT_NE(readMasterMute(), 0) << "step " << step << ": not tried again";
        EXPECT_EQ(simulatedSpeakers.liveObjects, 0) << "step " << step;
    }
    simulatedSpeakers.failing[SPEAKER_STEP_SET_MUTE] = 1;
    EXPECT_FALSE(writeMasterMute(0));
    EXPECT_TRUE(speakersMuted());
    simulatedSpeakers.failing[SPEAKER_STEP_SET_MUTE] = 0;
    (void)writeMasterMute(0);
    EXPECT_FALSE(speakersMuted());
    // A mute that could not be read is not known to be clear: a user's start clears it all the same.
    installFilter();
    setSpeakersMuted(TRUE);
    simulatedSpeakers.failing[SPEAKER_STEP_GET_MUTE] = 1;
    playerWindow.playState = PLAY_STATE_PAUSED;
    pressPlayerButton(CMD_PLAY);
    EXPECT_FALSE(speakersMuted()) << "the filter took an unreadable mute for a clear one";
}

// The plug-in is a guest on the player's thread: an apartment the host set up stays exactly as
// it was, and a thread without one is left without one.
TEST_F(EndpointMute, TheHostsApartmentIsLeftAsItWas)
{
    installFilter();
    HRESULT(WINAPI * hostCoInitializeEx)(LPVOID, DWORD);
    void(WINAPI * hostCoUninitialize)(void);
    bindSystemFunction(hostCoInitializeEx, "ole32.dll", "CoInitializeEx");
    bindSystemFunction(hostCoUninitialize, "ole32.dll", "CoUninitialize");
    static const DWORD NO_APARTMENT = 0xFFFFFFFF;
    for (DWORD hostModel : {NO_APARTMENT, (DWORD)COINIT_APARTMENTTHREADED, (DWORD)COINIT_MULTITHREADED}) {
        if (hostModel != NO_APARTMENT) {
            ASSERT_EQ(hostCoInitializeEx(NULL, hostModel), S_OK);
        }
        setSpeakersMuted(TRUE);
        pluginState.pausedByPlugin = 0;
        playerWindow.playState = PLAY_STATE_PAUSED;
        pressPlayerButton(CMD_PLAY);  // the filter reads, releases and asks the conditions again
        EXPECT_FALSE(speakersMuted()) << "host model " << hostModel;
        // The same model again only adds a reference; a different one would say the mode changed.
        DWORD sameModel = hostModel == NO_APARTMENT ? (DWORD)COINIT_APARTMENTTHREADED : hostModel;
        HRESULT again = hostCoInitializeEx(NULL, sameModel);
        EXPECT_EQ(again, hostModel == NO_APARTMENT ? S_OK : S_FALSE) << "host model " << hostModel;
        if (SUCCEEDED(again))
            hostCoUninitialize();
        if (hostModel != NO_APARTMENT)
            hostCoUninitialize();
        // Every reference the plug-in took on the apartment was given back.
        HRESULT afterwards = hostCoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
        EXPECT_EQ(afterwards, S_OK) << "host model " << hostModel;
        if (SUCCEEDED(afterwards))
            hostCoUninitialize();
    }
}

static BOOL pausedByThePlugin(void)
{
    return playerWindow.playState == PLAY_STATE_PAUSED && pluginState.pausedByPlugin == 1;
}

// The watch thread enters its own apartment and leaves it before it ends. Core Audio is used
// where the system has it, whatever version it reports (a compatibility mode for XP says 5),
// and where it has none the plug-in makes no COM call at all.
TEST_F(EndpointMute, TheWatchThreadLeavesItsApartmentAndOnlyCoreAudioSystemsSeeCom)
{
    static const struct {
        int row;
        DWORD reportedVersion;
        BOOL coreAudio;
    } rows[] = {{1, 6, TRUE}, {2, 5, TRUE}, {3, 5, FALSE}};
    for (const auto &row : rows) {
        reportedMajorVersion = row.reportedVersion;
        simulatedSession.coreAudioMissing = !row.coreAudio;
        resetSimulatedSpeakers();
        writeTestSettings("[Hushgate]\r\nISLOCK=0\r\nISSCREENSAVE=0\r\nCHECKTIME=100\r\n");
        playerWindow.playState = PLAY_STATE_PLAYING;
        (void)setSystemMute(FALSE);
        setSpeakersMuted(TRUE);
        startCountingCalls();
        pluginHeader.init();
        BOOL paused = pumpMessagesUntil(1000, pausedByThePlugin);
        pressPlayerButton(CMD_NEXT);
        pluginHeader.quit();
        stopCountingCalls();
        if (row.coreAudio) {
            EXPECT_TRUE(paused) << "row " << row.row << ": the speakers' mute did not pause";
            EXPECT_FALSE(speakersMuted()) << "row " << row.row << ": the manual start left the speakers muted";
            EXPECT_GT(callCounts.comEnters, 0) << "row " << row.row;
        } else {
            EXPECT_FALSE(paused) << "row " << row.row << ": the speakers' mute counted without Core Audio";
            EXPECT_EQ(callCounts.comEnters, 0) << "row " << row.row;
            EXPECT_EQ(simulatedSpeakers.calls[SPEAKER_STEP_CREATE], 0) << "row " << row.row;
        }
        EXPECT_EQ(callCounts.comEnters, callCounts.comLeaves) << "row " << row.row;
    }
}

// Wine's own Core Audio: the reads and the release run without fault, and a load/unload leaves
// no handle or thread behind.
TEST_F(EndpointMute, WinesOwnEndpointRunsAndLeavesNothingBehind)
{
    simulatedSpeakers.passThrough = 1;
    writeTestSettings("[Hushgate]\r\nISLOCK=0\r\nISSCREENSAVE=0\r\nCHECKTIME=100\r\n");
    LONG handles = 0, threads = 0;
    for (int round = 0; round < 3; ++round) {
        if (round == 1) {  // the first use starts the audio stack's own threads for good
            handles = countOpenHandles();
            threads = countThreads();
        }
        pluginHeader.init();
        pumpMessagesFor(350);
        (void)readMasterMute();
        pressPlayerButton(CMD_PLAY);
        (void)writeMasterMute(0);
        pluginHeader.quit();
        releaseMixer();
    }
    pumpMessagesFor(100);
    EXPECT_EQ(countOpenHandles(), handles);
    EXPECT_EQ(countThreads(), threads);
    EXPECT_EQ(simulatedSpeakers.calls[SPEAKER_STEP_CREATE], 0) << "the simulated endpoint was used";
}

static void setWinesDefaultOutput(const char *name)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\Drivers\\winealsa.drv", 0, NULL, 0, KEY_SET_VALUE, NULL,
                        &key, NULL) != ERROR_SUCCESS)
        return;
    if (name != NULL)
        (void)RegSetValueExA(key, "DefaultOutput", 0, REG_SZ, (const BYTE *)name, lstrlenA(name) + 1);
    else
        (void)RegDeleteValueA(key, "DefaultOutput");
    RegCloseKey(key);
}

// Wine's own device notices: a new default output in Wine's settings calls the notification
// client the watch thread registered, and the loop polls at once despite its 10 s interval.
TEST_F(EndpointMute, WinesDefaultOutputNoticeWakesTheLoop)
{
    simulatedSpeakers.passThrough = 1;
    playerWindow.playState = PLAY_STATE_STOPPED;
    writeTestSettings("[Hushgate]\r\nCHECKTIME=10000\r\n");
    startCountingCalls();
    pluginHeader.init();
    ASSERT_TRUE(waitForWatchThreadWaits(1, 3000));
    if (GetModuleHandleA("winealsa.drv") == NULL) {
        pluginHeader.quit();
        GTEST_SKIP() << "Wine's ALSA driver is not the one in use";
    }
    LONG waits = callCounts.watchThreadWaits;
    setWinesDefaultOutput("hushgate-elsewhere");
    EXPECT_TRUE(waitForWatchThreadWaits(waits + 1, 3000)) << "the new default output brought no poll";
    waits = callCounts.watchThreadWaits;
    setWinesDefaultOutput(NULL);
    EXPECT_TRUE(waitForWatchThreadWaits(waits + 1, 3000)) << "the default output back brought no poll";
    pluginHeader.quit();
}

// --- the output device going away, alone and where it meets a hold ------------------------

static void unplug(void)
{
    unplugHeadphones();
}

static void pickTheSpeakers(void)
{
    chooseDefaultDevice(SPEAKERS);  // the headphones stay plugged in
}

static void plugIn(void)
{
    plugInHeadphones();
}

static void unplugTheSpeakers(void)
{
    setDevicePresent(SPEAKERS, FALSE, HEADPHONES);
}

// The user plays over the hold, the headphones go (a look sees each), and the user plays again.
static void playedOverThenUnplugged(void)
{
    pressPlayerButton(CMD_PLAY);
    pollOnce();
    unplugHeadphones();
    pollOnce();
    pressPlayerButton(CMD_PLAY);
}

// The user plays over the lock and pauses again, the headphones go, the lock ends, and the user
// plays on the speakers (a look sees each).
static void playedOverPausedThenUnplugged(void)
{
    static void (*const steps[])(void) = {[] { pressPlayerButton(CMD_PLAY); }, [] { pressPlayerButton(CMD_PAUSE); },
                                          unplugHeadphones, [] { setWorkstationLocked(FALSE); },
                                          [] { pressPlayerButton(CMD_PLAY); }};
    for (void (*step)(void) : steps) {
        step();
        pollOnce();
    }
}

// The merged output's headphones go, a look sees the pause, and the user plays on the speakers.
static void pullThenPlay(void)
{
    pullHeadphoneJack();
    pollOnce();
    pressPlayerButton(CMD_PLAY);
}

// Its driver cannot tell presence: what the jack reports means nothing.
static void undetectedJackOut(void)
{
    setJackConnected(JACK_WITHOUT_PRESENCE_DETECT, FALSE);
}

// Some drivers call the built-in speakers disconnected while headphones are in.
static void plugInSpeakersOff(void)
{
    setJackConnected(JACK_INTERNAL_SPEAKERS, FALSE);
    plugInHeadphoneJack();
}

// USB headphones come and take the music (a look sees them); then the merged output's go.
static void otherHeadphonesThenPull(void)
{
    plugInHeadphones();
    pollOnce();
    pullHeadphoneJack();
}

enum Hold { NO_HOLD, USER_STOP, LOCK_HOLD, SLEEP_HOLD, SAVER_HOLD, MUTE_HOLD };
// The speakers' endpoint also serves the headphone jack, plugged in or not when the music starts.
enum Merged { SEPARATE_OUTPUTS, MERGED_HEADPHONES_IN, MERGED_HEADPHONES_OUT };
enum SessionKind { NO_PLAYER_SESSION, PLAYER_SESSION, PLAYER_SYSTEM_SOUNDS, OTHER_PROGRAM };
enum SessionFault { SESSIONS_ANSWER, NO_SESSION_INTERFACES, SESSIONS_NOT_LISTED };

// The hold begins while the music plays, and ends by itself once the change is over.
static void holdStarts(Hold hold, BOOL on)
{
    switch (hold) {
    case LOCK_HOLD:
        setWorkstationLocked(on);
        break;
    case SLEEP_HOLD:
        if (on)
            beginSleepHold();
        else
            noteWake(TRUE);
        break;
    case SAVER_HOLD:
        setScreenSaverRunning(on);
        break;
    case MUTE_HOLD:
        if (on)
            setSpeakersMuted(TRUE);  // the default device the music plays on
        else
            simulatedSpeakers.muted[HEADPHONES] = simulatedSpeakers.muted[SPEAKERS] = 0;
        break;
    case USER_STOP:
        if (on)
            pressPlayerButton(CMD_STOP);
        break;
    case NO_HOLD:
        break;
    }
}

struct LossRow {
    int row;
    const char *what;
    LONG defaultOn;     // the default device while the music starts
    LONG sessionOn;     // where a session lives, or NO_SESSION
    SessionKind kind;   // whose session it is
    SessionFault fault;
    Hold hold;          // what holds when the change comes
    void (*change)(void);
    BOOL back;          // the headphones are plugged in again before the hold ends
    LONG toggles;       // the plug-in's, from the change to the end of the hold
    LONG stateAfter;
    BOOL silent;        // nobody is called back: only the poll can see it
    LONG isDeviceLost;
    BOOL unreadable;    // the device watched cannot be read meanwhile, then can again
    BOOL alsoOnSpeakers;  // a second session of the player's opens there once the first is watched
    BOOL userPlaysMeanwhile;  // the user presses play right after the change, before any poll
    BOOL sessionLate;     // the player's session turns active only after the default stood in
    Merged merged = SEPARATE_OUTPUTS;
};

// Only the output the music plays on going away pauses, once, for the user to undo; a hold of
// the plug-in's own that it meets ends without a resume, unless the output came back first.
// The poll sees it without any notice.
TEST_F(EndpointMute, TheOutputThatGoesAwayIsTheUsersToRestartWhateverHolds)
{
    static const LossRow rows[] = {
        {1, "headphones unplugged", HEADPHONES, NO_SESSION, NO_PLAYER_SESSION, SESSIONS_ANSWER, NO_HOLD, unplug, FALSE, 1,
         PLAY_STATE_PAUSED, FALSE, 1, FALSE, FALSE, FALSE, FALSE},
        {2, "the poll alone", HEADPHONES, NO_SESSION, NO_PLAYER_SESSION, SESSIONS_ANSWER, NO_HOLD, unplug, FALSE, 1,
         PLAY_STATE_PAUSED, TRUE, 1, FALSE, FALSE, FALSE, FALSE},
        {3, "the user picks the speakers", HEADPHONES, NO_SESSION, NO_PLAYER_SESSION, SESSIONS_ANSWER, NO_HOLD,
         pickTheSpeakers, FALSE, 0, PLAY_STATE_PLAYING, FALSE, 1, FALSE, FALSE, FALSE, FALSE},
        {4, "headphones plugged in", SPEAKERS, NO_SESSION, NO_PLAYER_SESSION, SESSIONS_ANSWER, NO_HOLD, plugIn, FALSE, 0,
         PLAY_STATE_PLAYING, FALSE, 1, FALSE, FALSE, FALSE, FALSE},
        {5, "unplugged while stopped", HEADPHONES, NO_SESSION, NO_PLAYER_SESSION, SESSIONS_ANSWER, USER_STOP, unplug,
         FALSE, 0, PLAY_STATE_STOPPED, FALSE, 1, FALSE, FALSE, FALSE, FALSE},
        {6, "unplugged with the key off", HEADPHONES, NO_SESSION, NO_PLAYER_SESSION, SESSIONS_ANSWER, NO_HOLD, unplug,
         FALSE, 0, PLAY_STATE_PLAYING, FALSE, 0, FALSE, FALSE, FALSE, FALSE},
        {7, "unplugged during a lock", HEADPHONES, NO_SESSION, NO_PLAYER_SESSION, SESSIONS_ANSWER, LOCK_HOLD, unplug,
         FALSE, 0, PLAY_STATE_PAUSED, FALSE, 1, FALSE, FALSE, FALSE, FALSE},
        {8, "unplugged and back during a lock", HEADPHONES, NO_SESSION, NO_PLAYER_SESSION, SESSIONS_ANSWER, LOCK_HOLD,
         unplug, TRUE, 1, PLAY_STATE_PLAYING, FALSE, 1, FALSE, FALSE, FALSE, FALSE},
        {9, "unplugged during a sleep", HEADPHONES, NO_SESSION, NO_PLAYER_SESSION, SESSIONS_ANSWER, SLEEP_HOLD, unplug,
         FALSE, 0, PLAY_STATE_PAUSED, FALSE, 1, FALSE, FALSE, FALSE, FALSE},
        {10, "unplugged and back during a sleep", HEADPHONES, NO_SESSION, NO_PLAYER_SESSION, SESSIONS_ANSWER,
         SLEEP_HOLD, unplug, TRUE, 1, PLAY_STATE_PLAYING, FALSE, 1, FALSE, FALSE, FALSE, FALSE},
        {11, "unplugged under the screen saver, seen by the poll alone", HEADPHONES, NO_SESSION, NO_PLAYER_SESSION,
         SESSIONS_ANSWER, SAVER_HOLD, unplug, FALSE, 0, PLAY_STATE_PAUSED, TRUE, 1, FALSE, FALSE, FALSE, FALSE},
        {12, "muted headphones unplugged: the unmuted speakers take over", HEADPHONES, NO_SESSION, NO_PLAYER_SESSION,
         SESSIONS_ANSWER, MUTE_HOLD, unplug, FALSE, 0, PLAY_STATE_PAUSED, FALSE, 1, FALSE, FALSE, FALSE, FALSE},
        {13, "unplugged while the device watched cannot be read", HEADPHONES, NO_SESSION, NO_PLAYER_SESSION,
         SESSIONS_ANSWER, NO_HOLD, unplug, FALSE, 0, PLAY_STATE_PLAYING, FALSE, 1, TRUE, FALSE, FALSE, FALSE},
        {14, "the player plays on the speakers, the default goes", HEADPHONES, SPEAKERS, PLAYER_SESSION,
         SESSIONS_ANSWER, NO_HOLD, unplug, FALSE, 0, PLAY_STATE_PLAYING, FALSE, 1, FALSE, FALSE, FALSE, FALSE},
        {15, "the player plays on the headphones, not the default", SPEAKERS, HEADPHONES, PLAYER_SESSION,
         SESSIONS_ANSWER, NO_HOLD, unplug, FALSE, 1, PLAY_STATE_PAUSED, FALSE, 1, FALSE, FALSE, FALSE, FALSE},
        {16, "the same during a lock", SPEAKERS, HEADPHONES, PLAYER_SESSION, SESSIONS_ANSWER, LOCK_HOLD, unplug,
         FALSE, 0, PLAY_STATE_PAUSED, FALSE, 1, FALSE, FALSE, FALSE, FALSE},
        {17, "no session interfaces (Vista): the default is watched", HEADPHONES, SPEAKERS, PLAYER_SESSION,
         NO_SESSION_INTERFACES, NO_HOLD, unplug, FALSE, 1, PLAY_STATE_PAUSED, FALSE, 1, FALSE, FALSE, FALSE, FALSE},
        {18, "sessions that cannot be listed (Wine): the default is watched", HEADPHONES, SPEAKERS, PLAYER_SESSION,
         SESSIONS_NOT_LISTED, NO_HOLD, unplug, FALSE, 1, PLAY_STATE_PAUSED, FALSE, 1, FALSE, FALSE, FALSE, FALSE},
        {19, "only the player's system sounds on the headphones", SPEAKERS, HEADPHONES, PLAYER_SYSTEM_SOUNDS,
         SESSIONS_ANSWER, NO_HOLD, unplug, FALSE, 0, PLAY_STATE_PLAYING, FALSE, 1, FALSE, FALSE, FALSE, FALSE},
        {20, "only another program's session on the headphones", SPEAKERS, HEADPHONES, OTHER_PROGRAM,
         SESSIONS_ANSWER, NO_HOLD, unplug, FALSE, 0, PLAY_STATE_PLAYING, FALSE, 1, FALSE, FALSE, FALSE, FALSE},
        {21, "a second session of the player's, listed first: the one watched stays", SPEAKERS, HEADPHONES,
         PLAYER_SESSION, SESSIONS_ANSWER, NO_HOLD, unplug, FALSE, 1, PLAY_STATE_PAUSED, FALSE, 1, FALSE, TRUE, FALSE, FALSE},
        {22, "unplugged during a lock, then the user plays on the speakers", HEADPHONES, NO_SESSION, NO_PLAYER_SESSION,
         SESSIONS_ANSWER, LOCK_HOLD, unplug, FALSE, 0, PLAY_STATE_PLAYING, FALSE, 1, FALSE, FALSE, TRUE, FALSE},
        {23, "sessions on both outputs after the default stood in: the first listed is watched", HEADPHONES, HEADPHONES,
         PLAYER_SESSION, SESSIONS_ANSWER, NO_HOLD, unplugTheSpeakers, FALSE, 1, PLAY_STATE_PAUSED, FALSE, 1, FALSE,
         TRUE, FALSE, TRUE},
        {24, "played over a lock, unplugged, played again: the hold is still the user's", HEADPHONES, NO_SESSION,
         NO_PLAYER_SESSION, SESSIONS_ANSWER, LOCK_HOLD, playedOverThenUnplugged, FALSE, 1, PLAY_STATE_PLAYING, FALSE, 1,
         FALSE, FALSE, FALSE, FALSE},
        {25, "played over a lock, paused, unplugged: the user's pause keeps no output to hold against a start",
         HEADPHONES, NO_SESSION, NO_PLAYER_SESSION, SESSIONS_ANSWER, LOCK_HOLD, playedOverPausedThenUnplugged, FALSE, 1,
         PLAY_STATE_PLAYING, FALSE, 1, FALSE, FALSE, FALSE, FALSE},
        {26, "merged output: headphones pulled while playing", SPEAKERS, NO_SESSION, NO_PLAYER_SESSION,
         SESSIONS_ANSWER, NO_HOLD, pullHeadphoneJack, FALSE, 1, PLAY_STATE_PAUSED, FALSE, 1, FALSE, FALSE, FALSE, FALSE,
         MERGED_HEADPHONES_IN},
        {27, "merged output: pulled during a lock", SPEAKERS, NO_SESSION, NO_PLAYER_SESSION, SESSIONS_ANSWER,
         LOCK_HOLD, pullHeadphoneJack, FALSE, 0, PLAY_STATE_PAUSED, FALSE, 1, FALSE, FALSE, FALSE, FALSE,
         MERGED_HEADPHONES_IN},
        {28, "merged output: pulled and plugged in again during a lock", SPEAKERS, NO_SESSION, NO_PLAYER_SESSION,
         SESSIONS_ANSWER, LOCK_HOLD, pullHeadphoneJack, TRUE, 1, PLAY_STATE_PLAYING, FALSE, 1, FALSE, FALSE, FALSE,
         FALSE, MERGED_HEADPHONES_IN},
        {29, "merged output: pulled during a lock, then the user plays on the speakers", SPEAKERS, NO_SESSION,
         NO_PLAYER_SESSION, SESSIONS_ANSWER, LOCK_HOLD, pullHeadphoneJack, FALSE, 0, PLAY_STATE_PLAYING, FALSE, 1,
         FALSE, FALSE, TRUE, FALSE, MERGED_HEADPHONES_IN},
        {30, "merged output: pulled, paused, then the user plays on the speakers", SPEAKERS, NO_SESSION,
         NO_PLAYER_SESSION, SESSIONS_ANSWER, NO_HOLD, pullThenPlay, FALSE, 1, PLAY_STATE_PLAYING, FALSE, 1, FALSE,
         FALSE, FALSE, FALSE, MERGED_HEADPHONES_IN},
        {31, "merged output: headphones plugged in", SPEAKERS, NO_SESSION, NO_PLAYER_SESSION, SESSIONS_ANSWER,
         NO_HOLD, plugInHeadphoneJack, FALSE, 0, PLAY_STATE_PLAYING, FALSE, 1, FALSE, FALSE, FALSE, FALSE,
         MERGED_HEADPHONES_OUT},
        {32, "merged output: a jack that cannot tell its presence reports nothing plugged", SPEAKERS, NO_SESSION,
         NO_PLAYER_SESSION, SESSIONS_ANSWER, NO_HOLD, undetectedJackOut, FALSE, 0, PLAY_STATE_PLAYING, FALSE, 1,
         FALSE, FALSE, FALSE, FALSE, MERGED_HEADPHONES_IN},
        {33, "merged output: a driver that tells nobody, seen by the look", SPEAKERS, NO_SESSION, NO_PLAYER_SESSION,
         SESSIONS_ANSWER, NO_HOLD, pullHeadphoneJack, FALSE, 1, PLAY_STATE_PAUSED, TRUE, 1, FALSE, FALSE, FALSE,
         FALSE, MERGED_HEADPHONES_IN},
        {34, "merged output: pulled with the key off", SPEAKERS, NO_SESSION, NO_PLAYER_SESSION, SESSIONS_ANSWER,
         NO_HOLD, pullHeadphoneJack, FALSE, 0, PLAY_STATE_PLAYING, FALSE, 0, FALSE, FALSE, FALSE, FALSE,
         MERGED_HEADPHONES_IN},
        {35, "merged output: pulled while stopped, then the user plays", SPEAKERS, NO_SESSION, NO_PLAYER_SESSION,
         SESSIONS_ANSWER, USER_STOP, pullThenPlay, FALSE, 0, PLAY_STATE_PLAYING, FALSE, 1, FALSE, FALSE, FALSE, FALSE,
         MERGED_HEADPHONES_IN},
        {36, "merged output: plugged in, the driver calling the built-in speakers disconnected", SPEAKERS,
         NO_SESSION, NO_PLAYER_SESSION, SESSIONS_ANSWER, NO_HOLD, plugInSpeakersOff, FALSE, 0, PLAY_STATE_PLAYING,
         FALSE, 1, FALSE, FALSE, FALSE, FALSE, MERGED_HEADPHONES_OUT},
        {37, "merged output: other headphones take the music, then the merged output's are pulled", SPEAKERS,
         NO_SESSION, NO_PLAYER_SESSION, SESSIONS_ANSWER, NO_HOLD, otherHeadphonesThenPull, FALSE, 0,
         PLAY_STATE_PLAYING, FALSE, 1, FALSE, FALSE, FALSE, FALSE, MERGED_HEADPHONES_IN},
    };
    installFilter();
    for (const LossRow &row : rows) {
        resetConditions();
        setSettings(1, 1, 1, 100);
        pluginState.settings.isDeviceLost = row.isDeviceLost;
        pluginState.pausedByPlugin = 0;
        forgetOutputDevice();
        if (row.defaultOn == HEADPHONES)
            plugInHeadphones();
        else
            unplugHeadphones();
        if (row.sessionOn == HEADPHONES)
            plugInHeadphones(), chooseDefaultDevice(row.defaultOn);
        mergeSpeakersAndHeadphones(row.merged != SEPARATE_OUTPUTS);
        if (row.merged == MERGED_HEADPHONES_OUT)
            pullHeadphoneJack();
        LONG session = NO_SESSION;
        if (row.kind != NO_PLAYER_SESSION)
            session = addSimulatedSession(row.sessionOn, row.kind == OTHER_PROGRAM ? 4 : GetCurrentProcessId(),
                                          AudioSessionStateActive, row.kind == PLAYER_SYSTEM_SOUNDS);
        simulatedSessions.failing[SESSION_STEP_MANAGER] = row.fault == NO_SESSION_INTERFACES;
        simulatedSessions.failing[SESSION_STEP_ENUMERATOR] = row.fault == SESSIONS_NOT_LISTED;
        playerWindow.playState = PLAY_STATE_PLAYING;
        if (row.sessionLate)
            setSimulatedSessionState(session, AudioSessionStateInactive);
        pollOnce();
        if (row.sessionLate)
            setSimulatedSessionState(session, AudioSessionStateActive);
        if (row.alsoOnSpeakers)
            (void)addSimulatedSession(SPEAKERS, GetCurrentProcessId(), AudioSessionStateActive, FALSE);
        holdStarts(row.hold, TRUE);
        pollOnce();
        // A paused player's output is idle.
        if (playerWindow.playState != PLAY_STATE_PLAYING && row.kind == PLAYER_SESSION)
            setSimulatedSessionState(session, AudioSessionStateInactive);
        simulatedSpeakers.silent = row.silent;
        simulatedSpeakers.failing[SPEAKER_STEP_GET_DEVICE] = row.unreadable;
        clearPlayerLog();
        row.change();
        if (row.userPlaysMeanwhile)
            pressPlayerButton(CMD_PLAY);
        if (row.back && row.merged != SEPARATE_OUTPUTS)
            plugInHeadphoneJack();
        else if (row.back)
            plugInHeadphones();
        for (int poll = 0; poll < 3; ++poll)
            pollOnce();
        holdStarts(row.hold, FALSE);
        for (int poll = 0; poll < 2; ++poll)
            pollOnce();
        EXPECT_EQ(pauseTogglesSeen(), row.toggles) << "row " << row.row << ": " << row.what;
        EXPECT_EQ(playerWindow.playState, row.stateAfter) << "row " << row.row << ": " << row.what;
        EXPECT_EQ(pluginState.pausedByPlugin, 0) << "row " << row.row << ": " << row.what;
        if (row.unreadable) {
            simulatedSpeakers.failing[SPEAKER_STEP_GET_DEVICE] = 0;
            pollOnce();  // the failure told nothing; the device the music played on is still known
            EXPECT_EQ(playerWindow.playState, PLAY_STATE_PAUSED) << "row " << row.row << ": the loss was forgotten";
        }
        resetSimulatedSessions();
    }
    EXPECT_EQ(simulatedSessions.liveObjects, 0);
    forgetOutputDevice();
    EXPECT_EQ(simulatedJacks.callbacks, 0) << "a jack notice stayed registered";
    EXPECT_EQ(simulatedJacks.liveObjects, 0) << "a reference to a jack was not released";
}
