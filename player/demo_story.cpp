// Each step acts as a user or the system would, then waits for what the plug-in should do
// (or checks that it does nothing) while the window thread keeps serving the player.
#include "demo_story.h"

#include "conditions.h"
#include "other_programs.h"
#include "player_window.h"
#include "resources/resource.h"
#include "simulated_jacks.h"
#include "simulated_speakers.h"
#include "stand_in_session.h"

// Long enough for two polls at the default 500 ms interval and the send behind them.
static const DWORD REACTION_TIMEOUT_MS = 1500;
static const DWORD QUIET_PERIOD_MS = 1200;
// What the system announces is acted on at once, well inside the 500 ms interval: a loop that
// waited for its next poll would pass this only now and then.
static const DWORD AT_ONCE_MS = 150;
static const DWORD SETTLE_MS = 300;
// A capture counts as a call once it has run a second; a call is over after two quiet seconds.
static const DWORD CALL_GRACE_MS = 1000;
static const DWORD CALL_QUIET_MS = 2000;
static const DWORD CALL_LATE_MS = 250;
static const DWORD BRIEF_CAPTURE_MS = 400;

struct DemoRun {
    void (*say)(const char *line);
    DWORD start;
    DWORD changedAt;  // when the last system change was made
    LONG eventMark;
    LONG awaitedState;  // what the plug-in's next toggle should leave the player in
    int checks;
    int failures;
    PluginSet *plugins;
};
static DemoRun demo;

static void sayAt(const char *text)
{
    char line[200];
    DWORD elapsed = GetTickCount() - demo.start;
    wsprintfA(line, "%3lu.%02lu s  %s", elapsed / 1000, elapsed % 1000 / 10, text);
    demo.say(line);
}

static void judge(BOOL held, const char *what)
{
    char text[200];
    ++demo.checks;
    if (!held)
        ++demo.failures;
    wsprintfA(text, "%-52s %s", what, held ? "ok" : "WRONG");
    sayAt(text);
}

static void markEvents(void)
{
    demo.eventMark = playerWindow.eventCount;
}

static LONG pluginCommandsSinceMark(void)
{
    LONG commands = 0;
    for (LONG i = demo.eventMark; i < playerWindow.eventCount; ++i) {
        if (playerEventAt(i).fromOtherThread)
            ++commands;
    }
    return commands;
}

// The plug-in's toggle since the mark that left the player where awaited, or NULL.
static const PlayerEvent *pluginToggle(void)
{
    for (LONG i = demo.eventMark; i < playerWindow.eventCount; ++i) {
        const PlayerEvent &event = playerEventAt(i);
        if (event.fromOtherThread && event.id == CMD_PAUSE && event.stateAfter == demo.awaitedState)
            return &event;
    }
    return NULL;
}

static BOOL pluginToggledTo(void)
{
    return pluginToggle() != NULL;
}

static BOOL waitForPluginToggle(LONG state)
{
    demo.awaitedState = state;
    return pumpMessagesUntil(REACTION_TIMEOUT_MS, pluginToggledTo);
}

static void userPresses(WORD command)
{
    char text[80];
    wsprintfA(text, "user presses %s", commandName(command));
    sayAt(text);
    pressPlayerButton(command);
}

static void systemDoes(const char *what, void (*change)(BOOL), BOOL on)
{
    sayAt(what);
    markEvents();
    demo.changedAt = GetTickCount();
    change(on);
}

static void muteSwitch(BOOL muted)
{
    (void)setUserMute(muted);
}

static void sleepSwitch(BOOL asleep)
{
    demo.awaitedState = PLAY_STATE_PAUSED;
    if (asleep)
        broadcastSuspend();
    else
        broadcastResume();
}

static void headphonesSwitch(BOOL unplugged)
{
    if (unplugged)
        unplugHeadphones();
    else
        plugInHeadphones();
    standInSessionFollows();
}

static void secureDesktopSwitch(BOOL up)
{
    simulatedSession.secureDesktop = up;
}

static void unattendedWake(BOOL)
{
    demo.awaitedState = PLAY_STATE_PAUSED;
    broadcastWake(PBT_APMRESUMEAUTOMATIC);
}

static void usersWake(BOOL)
{
    broadcastWake(PBT_APMRESUMESUSPEND);
}

static void expectPluginPause(const char *what)
{
    judge(waitForPluginToggle(PLAY_STATE_PAUSED) && playerWindow.playState == PLAY_STATE_PAUSED, what);
}

static void expectPluginResume(const char *what)
{
    judge(waitForPluginToggle(PLAY_STATE_PLAYING) && playerWindow.playState == PLAY_STATE_PLAYING, what);
}

// Judged by how soon the toggle followed the change, which the line shows.
static void expectPluginPauseAtOnce(const char *what)
{
    BOOL toggled = waitForPluginToggle(PLAY_STATE_PAUSED);
    DWORD took = toggled ? pluginToggle()->tick - demo.changedAt : REACTION_TIMEOUT_MS;
    char text[120];
    wsprintfA(text, "%s at once (%lu ms)", what, took);
    judge(toggled && took <= AT_ONCE_MS && playerWindow.playState == PLAY_STATE_PAUSED, text);
}

static void expectNothingFor(DWORD milliseconds, LONG state, const char *what)
{
    pumpMessagesFor(milliseconds);
    judge(pluginCommandsSinceMark() == 0 && playerWindow.playState == state, what);
}

static void expectNothingFromPlugin(LONG state, const char *what)
{
    expectNothingFor(QUIET_PERIOD_MS, state, what);
}

// Judged by the wait the rule asks for, which the line shows: never sooner, and not much later.
static void expectPluginToggleAfter(DWORD wait, LONG state, const char *what)
{
    demo.awaitedState = state;
    BOOL toggled = pumpMessagesUntil(wait + REACTION_TIMEOUT_MS, pluginToggledTo);
    DWORD took = toggled ? pluginToggle()->tick - demo.changedAt : wait + REACTION_TIMEOUT_MS;
    char text[120];
    wsprintfA(text, "%s after %lu ms", what, took);
    judge(toggled && took + 20 >= wait && took <= wait + CALL_LATE_MS && playerWindow.playState == state, text);
}

static void callSwitch(BOOL on)
{
    if (on)
        startProgramCapture(MEETING_APP, HEADSET);
    else
        stopProgramCapture(MEETING_APP);
}

static void briefCapture(BOOL)
{
    startProgramCapture(MEETING_APP, MICROPHONE);
    pumpMessagesFor(BRIEF_CAPTURE_MS);
    stopProgramCapture(MEETING_APP);
}

// A meeting app on the headset's microphone, a device test on the default one, and a call the
// user chose to play over.
static void callsComeAndGo(void)
{
    systemDoes("a call starts: meeting_app.exe captures from the headset", callSwitch, TRUE);
    expectPluginToggleAfter(CALL_GRACE_MS, PLAY_STATE_PAUSED, "plug-in pauses the player");
    systemDoes("the call ends: the program stops capturing", callSwitch, FALSE);
    expectPluginToggleAfter(CALL_QUIET_MS, PLAY_STATE_PLAYING, "plug-in resumes the player");
    systemDoes("another program captures for 0.4 s (a device test)", briefCapture, TRUE);
    expectNothingFromPlugin(PLAY_STATE_PLAYING, "plays on: a brief capture is no call");
    userPresses(CMD_PAUSE);
    systemDoes("a call starts while the music is paused", callSwitch, TRUE);
    // The user comes to it later: a start within the same few milliseconds could come before the
    // plug-in has looked, and no one can tell then which came first.
    pumpMessagesFor(SETTLE_MS);
    userPresses(CMD_PLAY);
    expectNothingFor(CALL_GRACE_MS + QUIET_PERIOD_MS, PLAY_STATE_PLAYING, "plays on: the call was there before the music");
    systemDoes("that call ends", callSwitch, FALSE);
    pumpMessagesFor(SETTLE_MS);
}

static void recordingSwitch(BOOL on)
{
    if (on)
        startProgramCapture(STREAM_RECORDER, MICROPHONE);
    else
        stopProgramCapture(STREAM_RECORDER);
}

// The user at the dialog: types the list and presses OK, while the player's thread runs the
// dialog's modal loop.
static DWORD WINAPI listTheRecorderInTheDialog(LPVOID)
{
    // Shown only once its WM_INITDIALOG has filled the boxes, which would overwrite the text.
    HWND dialog = NULL;
    for (int attempt = 0; attempt < 1000 && (dialog == NULL || !IsWindowVisible(dialog)); ++attempt) {
        Sleep(5);
        dialog = FindWindowA((LPCSTR)WC_DIALOG, "setting about hushgate");
    }
    // A dialog that never came up is cancelled, so that the story goes on to fail its steps
    // rather than wait on it.
    if (dialog == NULL || !IsWindowVisible(dialog)) {
        if (dialog != NULL)
            (void)PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        return 1;
    }
    (void)SendMessageA(GetDlgItem(dialog, IDC_CALL_IGNORE), WM_SETTEXT, 0, (LPARAM)otherProgramFileName(STREAM_RECORDER));
    (void)PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    return 0;
}

static void listTheRecorder(BOOL)
{
    HANDLE user = CreateThread(NULL, 0, listTheRecorderInTheDialog, NULL, 0, NULL);
    for (int i = 0; i < demo.plugins->count; ++i)
        demo.plugins->plugins[i].header->config();
    if (user != NULL) {
        (void)WaitForSingleObject(user, 6000);
        (void)CloseHandle(user);
    }
}

// A streaming tool that records all evening, which the user lists in the dialog as never a
// call: its recording pauses nothing, and a call beside it still does.
static void ignoredProgramRecords(void)
{
    systemDoes("user lists stream_recorder.exe in the settings as never a call", listTheRecorder, TRUE);
    systemDoes("stream_recorder.exe starts recording from the microphone", recordingSwitch, TRUE);
    expectNothingFor(CALL_GRACE_MS + QUIET_PERIOD_MS, PLAY_STATE_PLAYING, "plays on: the recorder is never a call");
    systemDoes("a call starts: meeting_app.exe captures from the headset", callSwitch, TRUE);
    expectPluginToggleAfter(CALL_GRACE_MS, PLAY_STATE_PAUSED, "plug-in pauses the player");
    systemDoes("the call ends; the recording goes on", callSwitch, FALSE);
    expectPluginToggleAfter(CALL_QUIET_MS, PLAY_STATE_PLAYING, "plug-in resumes the player");
    systemDoes("stream_recorder.exe stops recording", recordingSwitch, FALSE);
    pumpMessagesFor(SETTLE_MS);
}

// The pause for headphones that went away is the user's: the music does not move on to the
// speakers, not even later.
static void playsOnHeadphonesUntilUnplugged(void)
{
    systemDoes("headphones plugged in: the sound moves to them", headphonesSwitch, FALSE);
    expectNothingFromPlugin(PLAY_STATE_PLAYING, "plays on the headphones");
    systemDoes("headphones unplugged: the sound would move to the speakers", headphonesSwitch, TRUE);
    expectPluginPauseAtOnce("plug-in pauses the player");
    markEvents();
    expectNothingFromPlugin(PLAY_STATE_PAUSED, "stays paused until the user plays again");
    userPresses(CMD_PLAY);
    judge(playerWindow.playState == PLAY_STATE_PLAYING, "the user plays on the speakers");
}

// Headphones that go during the plug-in's own pause are not resumed into: the music would
// start from the speakers with nobody there to hear it.
static void headphonesGoWhileLocked(void)
{
    systemDoes("headphones plugged in: the sound moves to them", headphonesSwitch, FALSE);
    pumpMessagesFor(SETTLE_MS);
    systemDoes("workstation locked (simulated)", setWorkstationLocked, TRUE);
    expectPluginPauseAtOnce("plug-in pauses the player");
    systemDoes("headphones unplugged while locked", headphonesSwitch, TRUE);
    systemDoes("workstation unlocked", setWorkstationLocked, FALSE);
    expectNothingFromPlugin(PLAY_STATE_PAUSED, "stays paused: its headphones are gone");
    userPresses(CMD_PLAY);
    judge(playerWindow.playState == PLAY_STATE_PLAYING, "the user plays on the speakers");
}

static void mergedOutputSwitch(BOOL merged)
{
    mergeSpeakersAndHeadphones(merged);
}

static void headphoneJackSwitch(BOOL pulled)
{
    setJackConnected(JACK_HEADPHONES, !pulled);
}

// A laptop whose driver serves the speakers and the headphone jack as one output: pulling the
// headphones changes no device, and the driver would carry the music on from the speakers.
static void headphonesPulledFromAMergedOutput(void)
{
    systemDoes("laptop: speakers and headphone jack are one output", mergedOutputSwitch, TRUE);
    expectNothingFromPlugin(PLAY_STATE_PLAYING, "plays on the merged output's headphones");
    systemDoes("headphones pulled from the merged output's jack", headphoneJackSwitch, TRUE);
    expectPluginPauseAtOnce("plug-in pauses the player");
    markEvents();
    expectNothingFromPlugin(PLAY_STATE_PAUSED, "stays paused until the user plays again");
    userPresses(CMD_PLAY);
    judge(playerWindow.playState == PLAY_STATE_PLAYING, "the user plays on the laptop's speakers");
    systemDoes("headphones plugged into the merged output's jack", headphoneJackSwitch, FALSE);
    expectNothingFromPlugin(PLAY_STATE_PLAYING, "plays on: a jack plugged in pauses nothing");
    systemDoes("speakers and headphones are separate outputs again", mergedOutputSwitch, FALSE);
}

// A wake timer or Wake-on-LAN wakes the machine with nobody there: the music waits for the user.
static void sleepsAndWakesUnattended(void)
{
    systemDoes("system goes to sleep", sleepSwitch, TRUE);
    judge(pluginToggledTo() && playerWindow.playState == PLAY_STATE_PAUSED, "paused before the machine sleeps");
    systemDoes("system wakes with nobody there (a wake timer)", unattendedWake, TRUE);
    expectNothingFromPlugin(PLAY_STATE_PAUSED, "stays paused: nobody is there");
    systemDoes("the user is back: Windows sends the user's resume", usersWake, TRUE);
    expectPluginResume("plug-in resumes the player");
}

static void playTheStory(void)
{
    userPresses(CMD_PLAY);
    judge(playerWindow.playState == PLAY_STATE_PLAYING, "the player plays");
    // The polls that the player's new audio session brings come and go first.
    pumpMessagesFor(SETTLE_MS);

    systemDoes("screen saver starts", setScreenSaverRunning, TRUE);
    expectPluginPause("plug-in pauses the player");
    systemDoes("screen saver stops", setScreenSaverRunning, FALSE);
    expectPluginResume("plug-in resumes the player");

    char muting[96];
    wsprintfA(muting, "%s set", userMuteName());
    systemDoes(muting, muteSwitch, TRUE);
    expectPluginPauseAtOnce("plug-in pauses the player");
    markEvents();
    userPresses(CMD_PLAY);
    const PlayerEvent &play = playerEventAt(playerWindow.eventCount - 1);
    judge(play.id == CMD_PLAY && !play.mutedOnArrival && !userMuteOn() && readSystemMute() == 0,
          "mute released before the player got play");
    expectNothingFromPlugin(PLAY_STATE_PLAYING, "playing, and the plug-in sends nothing");

    systemDoes("workstation locked (simulated)", setWorkstationLocked, TRUE);
    expectPluginPauseAtOnce("plug-in pauses the player");
    systemDoes("workstation unlocked", setWorkstationLocked, FALSE);
    expectPluginResume("plug-in resumes the player");

    systemDoes("UAC prompt: a secure desktop has the input", secureDesktopSwitch, TRUE);
    expectNothingFromPlugin(PLAY_STATE_PLAYING, "plays on: the session is not locked");
    systemDoes("UAC prompt answered", secureDesktopSwitch, FALSE);

    systemDoes("system goes to sleep", sleepSwitch, TRUE);
    judge(pluginToggledTo() && playerWindow.playState == PLAY_STATE_PAUSED, "paused before the machine sleeps");
    systemDoes("system wakes up", sleepSwitch, FALSE);
    expectPluginResume("plug-in resumes the player");

    callsComeAndGo();
    ignoredProgramRecords();

    sleepsAndWakesUnattended();

    playsOnHeadphonesUntilUnplugged();
    headphonesGoWhileLocked();
    headphonesPulledFromAMergedOutput();

    userPresses(CMD_PAUSE);
    judge(playerWindow.playState == PLAY_STATE_PAUSED, "the player is paused by the user");
    systemDoes("workstation locked (simulated)", setWorkstationLocked, TRUE);
    expectNothingFromPlugin(PLAY_STATE_PAUSED, "stays paused: the pause is the user's");
    systemDoes("workstation unlocked", setWorkstationLocked, FALSE);
    expectNothingFromPlugin(PLAY_STATE_PAUSED, "still paused: nothing resumed");
}

// The player plays on after the unload, so that a watch thread or filter left behind would
// show itself: by a query, or by pausing the player when the workstation locks.
static void quitPlugins(PluginSet &plugins)
{
    userPresses(CMD_PLAY);
    sayAt("player unloads its plug-ins");
    unloadAllPlugins(plugins);
    // A poll under way when quit began may finish inside it; from its return on, nothing.
    markEvents();
    LONG queries = playerWindow.queryCount;
    WNDPROC restored = (WNDPROC)GetWindowLongA(playerWindow.hwnd, GWL_WNDPROC);
    setWorkstationLocked(TRUE);
    pumpMessagesFor(QUIET_PERIOD_MS);
    setWorkstationLocked(FALSE);
    judge(restored == (WNDPROC)GetClassLongA(playerWindow.hwnd, GCL_WNDPROC) && pluginCommandsSinceMark() == 0 &&
              playerWindow.queryCount == queries && playerWindow.playState == PLAY_STATE_PLAYING,
          "window procedure restored, nothing sent after");
}

BOOL runDemoStory(PluginSet &plugins, void (*say)(const char *line))
{
    ZeroMemory(&demo, sizeof demo);
    demo.say = say;
    demo.plugins = &plugins;
    demo.start = GetTickCount();
    setScreenSaverRunning(FALSE);
    (void)setSystemMute(FALSE);
    (void)setUserMute(FALSE);
    setWorkstationLocked(FALSE);
    stopProgramCapture(MEETING_APP);
    stopProgramCapture(STREAM_RECORDER);
    // The story starts on the speakers; the move is announced, as Windows would announce it.
    if (simulatedSpeakers.defaultDevice != SPEAKERS)
        chooseDefaultDevice(SPEAKERS);
    simulatedSession.secureDesktop = FALSE;
    mergeSpeakersAndHeadphones(FALSE);
    if (plugins.count == 0) {
        say("verdict: FAIL - no plug-in was loaded");
        return FALSE;
    }
    // The polls that these first changes bring come and go before the story begins.
    pumpMessagesFor(SETTLE_MS);
    demo.start = GetTickCount();
    playTheStory();
    quitPlugins(plugins);
    setScreenSaverRunning(FALSE);
    (void)setSystemMute(FALSE);

    char verdict[160];
    if (demo.failures == 0)
        wsprintfA(verdict, "verdict: PASS - the plug-in did what it should at all %d steps", demo.checks);
    else
        wsprintfA(verdict, "verdict: FAIL - the plug-in went wrong at %d of %d steps", demo.failures, demo.checks);
    say(verdict);
    return demo.failures == 0;
}
