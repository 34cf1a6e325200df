// The default speakers' own mute, read and released through the plug-in's Core Audio calls.
// Its CoCreateInstance import hands out the simulated endpoint (Wine keeps a real endpoint's
// mute per object); one smoke run goes through Wine's own Core Audio.
#include <objbase.h>

#include "import_patch.h"
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
