// Hush for calls: simulated capture sessions on the simulated microphones (Wine lists no
// sessions), reached through the plug-in's own CoCreateInstance import. The table drives the
// poll on this thread with the clock moved ahead; the watch thread proves the wakes.
#include <stdlib.h>

#include <objbase.h>

#include <audiopolicy.h>
#include <mmdeviceapi.h>

#include "engine/call_capture.h"
#include "engine/capture_sessions.h"
#include "engine/wake_signals.h"
#include "engine/watch_build.h"
#include "engine/watch_loop.h"
#include "engine/ignored_programs.h"
#include "engine/settings_in_force.h"
#include "other_programs.h"
#include "simulated_sessions.h"
#include "simulated_speakers.h"
#include "test_support.h"

// The real processes stand for programs whose names Windows can tell.
enum : DWORD { ANOTHER_PROGRAM = 4000, THE_PLAYER_ITSELF = 1, THE_RECORDER = 2, THE_MEETING_APP = 3 };
// A recorder on a made-up process, whose id may go to another program.
static const DWORD SIMULATED_RECORDER = ANOTHER_PROGRAM + 400;

struct CallSession {
    LONG device;
    DWORD program;  // ANOTHER_PROGRAM (and up), or THE_PLAYER_ITSELF
    BOOL systemSounds;
};

struct CallRow {
    int row;
    const char *what;
    // Tokens: "@T" moves the clock to T ms and polls, "~T" moves it without a poll; "=P" playing,
    // "=H" paused by the plug-in, "=U" paused by the user, "=S" stopped; "+N"/"-N" session N captures/stops (made at its
    // first start); "play", "pause", "stop", "lock", "unlock", "mute" (the speakers, with the mute
    // condition on), "headset+", "headset-", "headset!" (plugged in, its first activation
    // failing), "mics+" (eight more microphones: ten in all), "mics-2" (the first two of them
    // go); "reborn0" (session 0's process ends, and a meeting app takes its id: "+0" makes its
    // session); "cut0" (session 0 cut off: an exclusive-mode stream took the microphone);
    // "unlisted" (Windows leaves the sessions it announces from then on out of later lists
    // where the control it handed over was let go first), "shared" (sessions made from then on
    // serve several processes); "=N" every microphone followed from its notices. A change of the system polls at once,
    // as its notice wakes the loop; the user's commands, and "ignore" and "unignore" (the
    // recorder put on the list of programs never a call, and taken off it), wait for the next "@".
    const char *script;
    LONG toggles;
    LONG namesLookedUp;  // the other programs' names asked of Windows; -1: not counted
    LONG isCall;
    SessionStep failing;  // SESSION_STEP_COUNT: nothing fails
    CallSession sessions[2];
};

static const CallSession MIC = {MICROPHONE, ANOTHER_PROGRAM, FALSE};
static const SessionStep NONE = SESSION_STEP_COUNT;

class CallHold : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        setSettings(1, 0, 0, 100);  // the simulated lock is the other condition: cheap and exact
        pluginState.settings.isCall = 1;
    }
    void TearDown() override
    {
        forgetCalls();  // its times are of the clock moved ahead
        EXPECT_EQ(simulatedSessions.creationListeners, 0) << "a new-session registration outlived the watch";
        EXPECT_EQ(simulatedSessions.stateListeners, 0) << "a session's registration outlived the watch";
        EXPECT_EQ(simulatedSessions.liveObjects, 0) << "a session object was not released";
        EXPECT_EQ(simulatedSpeakers.liveObjects, 0) << "a device object was not released";
        PluginTest::TearDown();
    }
    void runRow(const CallRow &row);
    BOOL act(const CallRow &row, const char *token, DWORD start, LONG (&sessions)[2]);
};

static BOOL systemChange(const char *token, LONG (&sessions)[2], const CallRow &row)
{
    if (token[0] == '+' || token[0] == '-') {
        LONG index = atoi(token + 1);
        AudioSessionState state = token[0] == '+' ? AudioSessionStateActive : AudioSessionStateInactive;
        const CallSession &session = row.sessions[index];
        DWORD program = session.program == THE_PLAYER_ITSELF ? GetCurrentProcessId()
                        : session.program == THE_RECORDER   ? otherProgramId(STREAM_RECORDER)
                        : session.program == THE_MEETING_APP ? otherProgramId(MEETING_APP)
                                                             : session.program;
        if (sessions[index] == NO_SESSION)
            sessions[index] = addSimulatedSession(session.device, program, state, session.systemSounds);
        else
            setSimulatedSessionState(sessions[index], state);
    } else if (lstrcmpA(token, "cut0") == 0) {
        disconnectSimulatedSession(sessions[0], DisconnectReasonExclusiveModeOverride);
        sessions[0] = NO_SESSION;
    } else if (lstrcmpA(token, "reborn0") == 0) {
        removeSimulatedSession(sessions[0]);
        sessions[0] = NO_SESSION;
        startSimulatedProcess(row.sessions[0].program, L"meeting.exe");
    } else if (lstrcmpA(token, "lock") == 0 || lstrcmpA(token, "unlock") == 0) {
        setWorkstationLocked(token[0] == 'l');
    } else if (lstrcmpA(token, "mute") == 0) {
        pluginState.settings.isMute = 1;
        setSpeakersMuted(TRUE);
    } else if (lstrcmpA(token, "headset+") == 0) {
        plugInHeadset();
    } else if (lstrcmpA(token, "headset-") == 0) {
        unplugHeadset();
    } else if (lstrcmpA(token, "headset!") == 0) {
        simulatedSessions.managerFailuresToCome[HEADSET] = 1;
        plugInHeadset();
    } else if (lstrcmpA(token, "mics+") == 0 || lstrcmpA(token, "mics-2") == 0) {
        BOOL in = token[4] == '+';
        for (LONG device = FIRST_EXTRA_MICROPHONE; device < (in ? SPEAKER_DEVICE_COUNT : FIRST_EXTRA_MICROPHONE + 2); ++device)
            setDevicePresent(device, in, simulatedSpeakers.defaultDevice);
    } else {
        return FALSE;
    }
    return TRUE;
}

// An OK that lists the recorder and turns the mute's switch on while the speakers are muted,
// pressed while a poll asks the play state: the poll goes on with the set it began with, the
// old list among it, and the pause holds throughout.
static void pressOkListingTheRecorder(void)
{
    playerWindow.onPlayStateQuery = NULL;
    Settings next = settingsInForce();
    next.isMute = 1;
    publishSettings(next, L"stream_recorder.exe", FALSE);
}

// FALSE when an expectation failed.
BOOL CallHold::act(const CallRow &row, const char *token, DWORD start, LONG (&sessions)[2])
{
    if (token[0] == '@' || token[0] == '~') {
        moveClockTo(start + (DWORD)atoi(token + 1));
        if (token[0] == '@')
            pollOnce();
    } else if (token[0] == '=') {
        LONG state = playerWindow.playState, paused = pluginState.pausedByPlugin;
        if (token[1] == 'N') {
            EXPECT_FALSE(captureSessions.missesChanges) << "row " << row.row << " (" << row.what << "): a microphone unfollowed";
            return !captureSessions.missesChanges;
        }
        BOOL held = token[1] == 'P'   ? state == PLAY_STATE_PLAYING && paused == 0
                    : token[1] == 'H' ? state == PLAY_STATE_PAUSED && paused == 1
                    : token[1] == 'U' ? state == PLAY_STATE_PAUSED && paused != PAUSED_BY_US
                                      : state == PLAY_STATE_STOPPED;
        EXPECT_TRUE(held) << "row " << row.row << " (" << row.what << "): " << token << " failed, the player "
                          << playStateName(state) << ", pausedByPlugin " << paused;
        return held;
    } else if (lstrcmpA(token, "ignore") == 0 || lstrcmpA(token, "unignore") == 0) {
        setIgnoredPrograms(token[0] == 'i' ? L" \"Stream_Recorder.EXE\" ; obs64.exe" : L"obs64.exe", FALSE);
    } else if (lstrcmpA(token, "unlisted") == 0 || lstrcmpA(token, "shared") == 0) {
        (token[0] == 'u' ? simulatedSessions.announcedUnlisted : simulatedSessions.sharedByProcesses) = 1;
    } else if (lstrcmpA(token, "times!") == 0) {
        simulatedProcessTimesRefused = 1;
    } else if (lstrcmpA(token, "ok-in-poll") == 0) {
        setSpeakersMuted(TRUE);  // the mute's switch still off
        playerWindow.onPlayStateQuery = pressOkListingTheRecorder;
    } else if (lstrcmpA(token, "play") == 0 || lstrcmpA(token, "stop") == 0 || lstrcmpA(token, "pause") == 0) {
        pressPlayerButton(token[1] == 'l' ? CMD_PLAY : token[1] == 't' ? CMD_STOP : CMD_PAUSE);
    } else if (systemChange(token, sessions, row)) {
        pollOnce();
    } else {
        ADD_FAILURE() << "row " << row.row << ": unknown token " << token;
    }
    return TRUE;
}

void CallHold::runRow(const CallRow &row)
{
    resetConditions();
    forgetCalls();
    playerWindow.onPlayStateQuery = NULL;
    pluginState.settings.isCall = row.isCall;
    pluginState.settings.isMute = 0;
    pluginState.pausedByPlugin = 0;
    playerWindow.playState = PLAY_STATE_STOPPED;
    setIgnoredPrograms(L"", FALSE);
    endSimulatedProcesses();
    startSimulatedProcess(SIMULATED_RECORDER, L"stream_recorder.exe");
    startCountingCalls();
    if (row.failing != NONE)
        simulatedSessions.failing[row.failing] = 1;
    clearPlayerLog();
    // The device notices as the watch thread registers them: a look follows only a notice.
    watchSignalsBegin();
    DWORD start = GetTickCount() + 10;
    LONG sessions[2] = {NO_SESSION, NO_SESSION};
    char script[256];
    lstrcpynA(script, row.script, sizeof script);
    for (char *token = strtok(script, " "); token != NULL; token = strtok(NULL, " ")) {
        if (!act(row, token, start, sessions))
            break;
    }
    // With the key off nothing of the microphones is even looked at.
    BOOL microphonesWatched = captureSessions.watching || captureSessions.enumerator != NULL;
    watchSignalsEnd();
    stopCountingCalls();
    EXPECT_EQ(pauseTogglesSeen(), row.toggles) << "row " << row.row << " (" << row.what << ")";
    if (row.namesLookedUp >= 0) {
        EXPECT_EQ(callCounts.namesRead, row.namesLookedUp) << "row " << row.row << ": names looked up";
    }
    EXPECT_EQ(simulatedSessions.stateListeners + simulatedSessions.creationListeners, 0) << "row " << row.row;
    EXPECT_EQ(microphonesWatched, row.isCall != 0) << "row " << row.row << ": the microphones' sessions";
    if (row.failing == SESSION_STEP_MANAGER) {
        EXPECT_EQ(simulatedSessions.calls[SESSION_STEP_ENUMERATOR] + simulatedSessions.calls[SESSION_STEP_CREATED_NOTICES],
                  0)
            << "row " << row.row << ": session calls without a session manager";
    }
}

TEST_F(CallHold, AnotherProgramCapturingHoldsTheMusicOnlyAsACallShould)
{
    installFilter();
    static const CallSession HEADSET_MIC = {HEADSET, ANOTHER_PROGRAM, FALSE};
    static const CallSession PLAYER_MIC = {MICROPHONE, THE_PLAYER_ITSELF, FALSE};
    static const CallSession SYSTEM_SOUNDS = {MICROPHONE, ANOTHER_PROGRAM + 4, TRUE};
    static const CallSession OTHER_MIC = {MICROPHONE, ANOTHER_PROGRAM + 8, FALSE};
    static const CallSession TENTH_MIC = {SPEAKER_DEVICE_COUNT - 1, ANOTHER_PROGRAM, FALSE};
    static const CallSession RECORDER = {MICROPHONE, THE_RECORDER, FALSE};
    static const CallSession MEETING = {HEADSET, THE_MEETING_APP, FALSE};
    char why[OTHER_PROGRAM_MESSAGE_SIZE];
    ASSERT_TRUE(startOtherProgram(STREAM_RECORDER, why)) << why;
    ASSERT_TRUE(startOtherProgram(MEETING_APP, why)) << why;
    static const CallRow rows[] = {
        {1, "a call pauses and resumes", "play @0 =P +0 @950 =P @1050 =H @1500 -0 @3450 =H @3550 =P", 2, -1, 1, NONE, {MIC}},
        {2, "a capture before play holds nothing; a new one after it ends does",
         "+0 @0 =S play @100 =P @3000 =P @3100 -0 @5200 +0 @6150 =P @6300 =H", 1, -1, 1, NONE, {MIC}},
        {3, "the user plays over a call, which holds nothing until it ends",
         "play @0 +0 @1050 =H play @1100 =P @4000 =P @4100 -0 @5000 +0 @6500 =P @6600 -0 @8700 +0 @9650 =P @9800 =H", 2, -1,
         1, NONE, {MIC}},
        {4, "a brief capture pauses nothing", "play @0 +0 @900 -0 @1000 =P @4000 =P", 0, -1, 1, NONE, {MIC}},
        {5, "the player's own capture and the system sounds", "play @0 +0 +1 @1500 =P @3000 =P", 0, -1, 1, NONE,
         {PLAYER_MIC, SYSTEM_SOUNDS}},
        {6, "a headset that is not the default microphone", "play @0 +0 @1050 =H @1100 -0 @3200 =P", 2, -1, 1, NONE,
         {HEADSET_MIC}},
        {7, "the key is off", "play @0 +0 @1500 =P @3000 =P", 0, -1, 0, NONE, {MIC}},
        {8, "no session interfaces (Vista)", "play @0 +0 @1500 =P @3000 =P", 0, -1, 1, SESSION_STEP_MANAGER, {MIC}},
        {9, "a call app reopens its stream", "play @0 +0 @1050 =H @1500 -0 @2500 +0 @4000 =H -0 @5900 =H @6100 =P", 2, -1, 1,
         NONE, {MIC}},
        {10, "a lock comes during a call and outlasts it",
         "play @0 +0 @1050 =H @1200 lock =H @1500 -0 @3600 =H @3700 unlock =P", 2, -1, 1, NONE, {MIC}},
        {11, "a call comes during a lock and outlasts it",
         "play @0 lock =H @100 +0 @1200 @1500 unlock =H @2000 -0 @3900 =H @4100 =P", 2, -1, 1, NONE, {MIC}},
        {12, "a headset plugged in during the music", "headset- play @0 +0 @1500 =P headset+ @2400 =P @2600 =H", 1, -1, 1,
         NONE, {HEADSET_MIC}},
        {13, "no new-session notices: every poll looks", "play @0 +0 @1050 =H @1100 -0 @3200 =P", 2, -1, 1,
         SESSION_STEP_CREATED_NOTICES, {MIC}},
        {14, "no state notices: every poll looks", "play @0 +0 @1050 =H @1100 -0 @3200 =P", 2, -1, 1,
         SESSION_STEP_STATE_NOTICES, {MIC}},
        {15, "the sessions cannot be listed (E_NOTIMPL)", "play @0 +0 @1500 =P @3000 =P", 0, -1, 1, SESSION_STEP_ENUMERATOR,
         {MIC}},
        {16, "the user stops during the call's pause", "play @0 +0 @1050 =H @1100 stop =S @1200 -0 @3300 =S", 1, -1, 1, NONE,
         {MIC}},
        {17, "a call just after the plug-in's own resume", "play @0 +0 @1050 =H @1100 -0 @3200 =P +1 @4150 =P @4300 =H", 3, -1,
         1, NONE, {MIC, OTHER_MIC}},
        {18, "played over, then a new call after a quiet gap that no poll saw",
         "play @0 +0 @1050 =H play @1100 =P @1200 -0 ~4300 +0 @5250 =P @5400 =H", 2, -1, 1, NONE, {MIC}},
        {19, "a start that releases the mute excuses the capture running then",
         "play @0 mute =H @100 +0 @300 play @400 =P @1300 =P @1500 =P", 1, -1, 1, NONE, {MIC}},
        {20, "a listed program records: nothing; a call beside it pauses",
         "ignore play @0 +0 @1500 =P +1 @2600 =H -1 @4700 =P @6000 =P", 2, 2, 1, NONE, {RECORDER, MEETING}},
        {21, "the program holding the pause is listed: the music comes back",
         "play @0 +0 @1050 =H ignore @1200 =P @3000 =P", 2, 1, 1, NONE, {RECORDER}},
        {22, "a program whose name cannot be read is no program on the list", "ignore play @0 +0 @1050 =H", 1, 0, 1, NONE,
         {MIC}},
        {23, "a program taken off the list counts from then on; the same list again reads no name",
         "ignore play @0 +0 @1500 =P ignore @1600 =P unignore @1700 =H", 1, 2, 1, NONE, {RECORDER}},
        {24, "a headset whose first activation fails is looked at again",
         "headset- play @0 headset! @100 +0 @1150 =H @1200 -0 @3300 =P", 2, -1, 1, NONE, {HEADSET_MIC}},
        {25, "past eight microphones, the tenth is watched too", "mics+ play @0 +0 @1050 =H @1100 -0 @3200 =P", 2, -1,
         1, NONE, {TENTH_MIC}},
        {26, "microphones that go free their slots for those past the eighth", "mics+ mics-2 play @0 =N +0 @1050 =H", 1,
         -1, 1, NONE, {TENTH_MIC}},
        {27, "the user plays over the call and pauses again: the pause is the user's, its end resumes nothing",
         "play @0 +0 @1050 =H play pause @1100 =U @1200 -0 @3300 =U", 2, -1, 1, NONE, {MIC}},
        {28, "a listed recorder ends and a meeting app takes its id: its capture is a call",
         "ignore play @0 +0 @1500 =P reborn0 +0 @2600 =H", 1, 2, 1, NONE, {{MICROPHONE, SIMULATED_RECORDER, FALSE}}},
        {29, "an OK during a poll lists the call's program and turns the mute on: the poll keeps the old list",
         "play @0 +0 @1050 =H ok-in-poll @1200 =H @1300 =H", 1, -1, 1, NONE, {RECORDER}},
        {30, "a program played over whose creation time can no longer be read is still the one played over",
         "play @0 +0 @1050 =H play @1100 =P times! -0 +0 @1200 @2500 =P", 1, -1, 1, NONE,
         {{MICROPHONE, SIMULATED_RECORDER, FALSE}}},
        {31, "a call on a session that Windows announced and leaves out of its later lists",
         "unlisted play @0 +0 @1050 =H @1100 -0 @3200 =P", 2, -1, 1, NONE, {MIC}},
        {32, "a call on a session serving several processes, named by the one that made it",
         "shared play @0 +0 @1050 =H @1100 -0 @3200 =P", 2, -1, 1, NONE, {MIC}},
        {33, "a call whose session is cut off has ended", "play @0 +0 @1050 =H cut0 @3000 =H @3100 =P", 2, -1, 1, NONE,
         {MIC}},
    };
    for (const CallRow &row : rows)
        runRow(row);
}

static BOOL heldByPlugin(void)
{
    return playerWindow.playState == PLAY_STATE_PAUSED && pluginState.pausedByPlugin == 1;
}

static BOOL playingAgain(void)
{
    return playerWindow.playState == PLAY_STATE_PLAYING && pluginState.pausedByPlugin == 0;
}

// At an interval of 10 s only the session notices and the rule's own wake can act in time: the
// pause comes a second after the capture starts, the resume two seconds after it stops. Polls
// with nothing announced look at no session.
TEST_F(CallHold, TheWatchThreadHearsTheSessionsAndWakesForTheRule)
{
    playerWindow.playState = PLAY_STATE_PLAYING;
    writeTestSettings("[Hushgate]\r\nISLOCK=0\r\nISSCREENSAVE=0\r\nISMUTE=0\r\nCHECKTIME=10000\r\n");
    startCountingCalls();
    pluginHeader.init();
    ASSERT_TRUE(waitForWatchThreadWaits(1, 2000));
    LONG lists = simulatedSessions.calls[SESSION_STEP_ENUMERATOR];
    EXPECT_GT(lists, 0) << "the capture devices' sessions were never listed";
    // The lock notice wakes the loop: a poll that finds nothing new about the sessions.
    setWorkstationLocked(TRUE);
    setWorkstationLocked(FALSE);
    EXPECT_TRUE(waitForWatchThreadWaits(callCounts.watchThreadWaits + 1, 2000));
    EXPECT_EQ(simulatedSessions.calls[SESSION_STEP_ENUMERATOR], lists) << "a poll with nothing announced listed sessions";

    DWORD started = GetTickCount();
    LONG call = addSimulatedSession(HEADSET, ANOTHER_PROGRAM, AudioSessionStateActive, FALSE);
    EXPECT_TRUE(pumpMessagesUntil(2000, heldByPlugin)) << "the call did not pause";
    DWORD took = GetTickCount() - started;
    EXPECT_GE(took, 900u) << "paused before the capture had run a second";
    EXPECT_LE(took, 1100u + 50u) << "the second's end brought no poll";
    DWORD stopped = GetTickCount();
    setSimulatedSessionState(call, AudioSessionStateInactive);
    EXPECT_TRUE(pumpMessagesUntil(3000, playingAgain)) << "the end of the call did not resume";
    took = GetTickCount() - stopped;
    EXPECT_GE(took, 1900u) << "resumed before two quiet seconds";
    EXPECT_LE(took, 2100u + 50u) << "the quiet's end brought no poll";
    pluginHeader.quit();
    EXPECT_EQ(simulatedSessions.creationListeners + simulatedSessions.stateListeners, 0) << "left registered after quit";
}

// Wine's own audio: the session manager activates on its capture devices, but lists no sessions
// and sends no notices (E_NOTIMPL). Nothing pauses, nothing breaks, and quit leaves no thread.
TEST_F(CallHold, WinesOwnSessionsAnswerNotImplementedAndNothingPauses)
{
    simulatedSpeakers.passThrough = 1;
    IMMDeviceEnumerator *devices = NULL;
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    ASSERT_EQ(CoCreateInstance(__uuidof(MMDeviceEnumerator), NULL, CLSCTX_INPROC_SERVER, __uuidof(IMMDeviceEnumerator),
                               (void **)&devices),
              S_OK);
    IMMDevice *microphone = NULL;
    HRESULT found = devices->GetDefaultAudioEndpoint(eCapture, eConsole, &microphone);
    IAudioSessionManager2 *manager = NULL;
    IAudioSessionEnumerator *sessions = NULL;
    if (SUCCEEDED(found)) {
        EXPECT_EQ(microphone->Activate(__uuidof(IAudioSessionManager2), CLSCTX_INPROC_SERVER, NULL, (void **)&manager),
                  S_OK);
        if (manager != NULL) {
            EXPECT_EQ(manager->GetSessionEnumerator(&sessions), E_NOTIMPL) << "Wine lists sessions now";
        }
    }
    if (manager != NULL)
        manager->Release();
    if (microphone != NULL)
        microphone->Release();
    devices->Release();
    CoUninitialize();
    ASSERT_TRUE(SUCCEEDED(found)) << "Wine has no microphone here: the real path meets nothing";

    playerWindow.playState = PLAY_STATE_PLAYING;
    writeTestSettings("[Hushgate]\r\nISLOCK=0\r\nISSCREENSAVE=0\r\nISMUTE=0\r\nCHECKTIME=100\r\n");
    startCountingCalls();
    pluginHeader.init();
    EXPECT_TRUE(waitForWatchThreadWaits(10, 3000)) << "the loop stopped polling";
    pluginHeader.quit();
    EXPECT_EQ(playerWindow.eventCount, 0) << "something was sent to the player";
    EXPECT_EQ(callCounts.watchThreadWaitsAfterStop, 0);
}
