// The stand-in player: a window that behaves toward plug-ins as the real player does, with
// transport buttons, switches for the conditions and a timestamped event log. With
// --demo it plays the demo story unattended and exits with its verdict.
#include <stdio.h>
#include <stdlib.h>

#include "conditions.h"
#include "demo_story.h"
#include "player_window.h"
#include "plugin_loader.h"
#include "screenshot.h"
#include "other_programs.h"
#include "simulated_sessions.h"
#include "simulated_jacks.h"
#include "simulated_speakers.h"
#include "stand_in_session.h"

enum {
    IDC_STATUS = 2001,
    IDC_MUTE_STATUS,
    IDC_SWITCH_SCREEN_SAVER,
    IDC_SWITCH_MUTE,
    IDC_SWITCH_LOCK,
    IDC_SWITCH_HEADPHONES,
    IDC_SWITCH_SECURE_DESKTOP,
    IDC_SLEEP,
    IDC_UNATTENDED_WAKE,
    IDC_SWITCH_CALL,
    IDC_SWITCH_RECORDING,
    IDC_BRIEF_CAPTURE,
    IDC_SWITCH_MERGED_OUTPUT,
    IDC_EVENT_LOG,
    IDM_EXIT = 2100,
    IDM_CONFIGURE_FIRST = 2200,
    REFRESH_TIMER = 1,
    UNATTENDED_WAKE_TIMER = 2,
    UNATTENDED_SLEEP_MS = 1000,
    BRIEF_CAPTURE_TIMER = 3,
    BRIEF_CAPTURE_MS = 400,
    MAX_LOG_LINES = 500,
};

struct StandIn {
    HINSTANCE instance;
    PluginSet plugins;
    DWORD start;
    BOOL demoMode;
    const char *screenshotFolder;
    LONG shownMute;
    BOOL shownSaver;
    HWND status, muteStatus, log;
};
static StandIn standIn;

static void writeToStream(DWORD stream, const char *text)
{
    HANDLE handle = GetStdHandle(stream);
    if (handle == NULL || handle == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    (void)WriteFile(handle, text, lstrlenA(text), &written, NULL);
    (void)WriteFile(handle, "\n", 1, &written, NULL);
}

static void addLogLine(const char *text)
{
    if (standIn.log == NULL)
        return;
    char line[256];
    DWORD elapsed = GetTickCount() - standIn.start;
    wsprintfA(line, "%4lu.%03lu  %.230s", elapsed / 1000, elapsed % 1000, text);
    if (SendMessageA(standIn.log, LB_GETCOUNT, 0, 0) >= MAX_LOG_LINES)
        (void)SendMessageA(standIn.log, LB_DELETESTRING, 0, 0);
    LRESULT index = SendMessageA(standIn.log, LB_ADDSTRING, 0, (LPARAM)line);
    (void)SendMessageA(standIn.log, LB_SETTOPINDEX, index, 0);
}

static void say(const char *line)
{
    writeToStream(STD_OUTPUT_HANDLE, line);
    addLogLine(line);
}

// A one-line complaint: to the console when there is one, else in a message box.
static void complain(const char *line)
{
    HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
    if (errors != NULL && errors != INVALID_HANDLE_VALUE)
        writeToStream(STD_ERROR_HANDLE, line);
    else if (!standIn.demoMode)
        (void)MessageBoxA(NULL, line, "Hushgate stand-in player", MB_OK | MB_ICONWARNING);
    addLogLine(line);
}

// Merged, the headphones are a jack of the speakers' endpoint; else an endpoint of their own.
static BOOL headphonesOut(void)
{
    return simulatedJacks.merged ? !simulatedJacks.connected[JACK_HEADPHONES] : headphonesUnplugged();
}

static const char *outputName(LONG device)
{
    if (device == NO_SESSION)
        return "-";
    if (device == HEADPHONES)
        return "headphones";
    if (!simulatedJacks.merged)
        return "speakers";
    return headphonesOut() ? "Speakers/Headphones (the speakers)" : "Speakers/Headphones (the headphones)";
}

static void refreshStatus(void)
{
    char text[128];
    wsprintfA(text, "Track %ld of %d - %s", playerWindow.track, PLAYER_TRACK_COUNT,
              playStateName(playerWindow.playState));
    SetWindowTextA(standIn.status, text);
    LONG muted = userMuteOn();
    BOOL saver = screenSaverRunning();
    LONG output = standInSessionDevice();
    wsprintfA(text, "Mute: %s    Screen saver: %s    Workstation: %s    Plays on: %s    Call: %s", muted ? "on" : "off",
              saver ? "running" : "off", workstationLocked() ? "locked (simulated)" : "unlocked",
              outputName(output),
              programCapturing(MEETING_APP) ? "on" : "off");
    SetWindowTextA(standIn.muteStatus, text);
    if (muted != standIn.shownMute) {
        char line[96];
        wsprintfA(line, "%s turned %s", userMuteName(), muted ? "on" : "off");
        addLogLine(line);
    }
    if (saver != standIn.shownSaver)
        addLogLine(saver ? "screen saver started" : "screen saver stopped");
    standIn.shownMute = muted;
    standIn.shownSaver = saver;
    CheckDlgButton(playerWindow.hwnd, IDC_SWITCH_SCREEN_SAVER, saver ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(playerWindow.hwnd, IDC_SWITCH_MUTE, muted ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(playerWindow.hwnd, IDC_SWITCH_LOCK, workstationLocked() ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(playerWindow.hwnd, IDC_SWITCH_HEADPHONES, headphonesOut() ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(playerWindow.hwnd, IDC_SWITCH_MERGED_OUTPUT, simulatedJacks.merged ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(playerWindow.hwnd, IDC_SWITCH_SECURE_DESKTOP,
                   simulatedSession.secureDesktop ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(playerWindow.hwnd, IDC_SWITCH_CALL, programCapturing(MEETING_APP) ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(playerWindow.hwnd, IDC_SWITCH_RECORDING,
                   programCapturing(STREAM_RECORDER) ? BST_CHECKED : BST_UNCHECKED);
}

// A change the plug-in answers with a command is logged before that command: the mute that
// caused a pause comes first, the mute a start released comes before the start.
static void logPlayerEvent(const PlayerEvent &event)
{
    refreshStatus();
    char text[160];
    const char *source = event.fromOtherThread ? "from a plug-in's thread" : "from the player's controls";
    if (event.stateBefore == event.stateAfter)
        wsprintfA(text, "command %s %s: stays %s", commandName(event.id), source, playStateName(event.stateAfter));
    else
        wsprintfA(text, "command %s %s: %s -> %s", commandName(event.id), source, playStateName(event.stateBefore),
                  playStateName(event.stateAfter));
    addLogLine(text);
    standInSessionFollows();
    refreshStatus();
}

static HWND addControl(const char *windowClass, const char *text, DWORD style, int x, int y, int width,
                       int height, int id)
{
    HWND control = CreateWindowExA(0, windowClass, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height,
                                   playerWindow.hwnd, (HMENU)(INT_PTR)id, standIn.instance, NULL);
    SendMessageA(control, WM_SETFONT, (WPARAM)GetStockObject(DEFAULT_GUI_FONT), TRUE);
    return control;
}

static void buildControls(void)
{
    static const struct {
        WORD command;
        const char *label;
    } buttons[] = {{CMD_PREVIOUS, "|<< Prev"}, {CMD_PLAY, "Play"}, {CMD_PAUSE, "Pause"}, {CMD_STOP, "Stop"},
                   {CMD_NEXT, "Next >>|"}};
    standIn.status = addControl("STATIC", "", SS_LEFT, 12, 10, 520, 18, IDC_STATUS);
    standIn.muteStatus = addControl("STATIC", "", SS_LEFT, 12, 30, 520, 18, IDC_MUTE_STATUS);
    int x = 12;
    // Each button's click reaches the main window as WM_COMMAND with its command id,
    // through whatever procedures plug-ins have put in front of the player's.
    for (const auto &button : buttons) {
        addControl("BUTTON", button.label, BS_PUSHBUTTON, x, 54, 96, 26, button.command);
        x += 104;
    }
    addControl("BUTTON", "Conditions", BS_GROUPBOX, 12, 86, 520, 124, 0);
    addControl("BUTTON", "Screen saver running", BS_AUTOCHECKBOX, 24, 104, 160, 20, IDC_SWITCH_SCREEN_SAVER);
    addControl("BUTTON", "Sound muted", BS_AUTOCHECKBOX, 190, 104, 160, 20, IDC_SWITCH_MUTE);
    addControl("BUTTON", "Workstation locked", BS_AUTOCHECKBOX, 356, 104, 170, 20, IDC_SWITCH_LOCK);
    addControl("BUTTON", "Unplug headphones", BS_AUTOCHECKBOX, 24, 128, 160, 20, IDC_SWITCH_HEADPHONES);
    addControl("BUTTON", "Secure desktop (UAC prompt)", BS_AUTOCHECKBOX, 190, 128, 200, 20, IDC_SWITCH_SECURE_DESKTOP);
    addControl("BUTTON", "Merged output", BS_AUTOCHECKBOX, 396, 128, 130, 20, IDC_SWITCH_MERGED_OUTPUT);
    addControl("BUTTON", "Sleep and wake", BS_PUSHBUTTON, 24, 152, 120, 24, IDC_SLEEP);
    addControl("BUTTON", "Unattended wake", BS_PUSHBUTTON, 190, 152, 120, 24, IDC_UNATTENDED_WAKE);
    addControl("BUTTON", "Call (meeting_app.exe captures)", BS_AUTOCHECKBOX, 24, 182, 210, 20, IDC_SWITCH_CALL);
    addControl("BUTTON", "Recording (stream_recorder.exe)", BS_AUTOCHECKBOX, 240, 182, 200, 20, IDC_SWITCH_RECORDING);
    addControl("BUTTON", "Brief capture", BS_PUSHBUTTON, 446, 180, 80, 24, IDC_BRIEF_CAPTURE);
    standIn.log = addControl("LISTBOX", "", WS_BORDER | WS_VSCROLL | LBS_NOINTEGRALHEIGHT, 12, 216, 520, 134,
                             IDC_EVENT_LOG);
}

static void buildMenu(void)
{
    HMENU bar = CreateMenu();
    HMENU pluginMenu = CreatePopupMenu();
    for (int i = 0; i < standIn.plugins.count; ++i) {
        char label[160];
        wsprintfA(label, "Configure %.120s...", standIn.plugins.plugins[i].header->description);
        AppendMenuA(pluginMenu, MF_STRING, IDM_CONFIGURE_FIRST + i, label);
    }
    if (standIn.plugins.count == 0)
        AppendMenuA(pluginMenu, MF_STRING | MF_GRAYED, 0, "(no plug-in loaded)");
    AppendMenuA(pluginMenu, MF_SEPARATOR, 0, NULL);
    AppendMenuA(pluginMenu, MF_STRING, IDM_EXIT, "Exit");
    AppendMenuA(bar, MF_POPUP, (UINT_PTR)pluginMenu, "&Plug-ins");
    SetMenu(playerWindow.hwnd, bar);
}

// The headphones go or come: a device of their own, or the jack of the merged output, which
// changes no device (the driver moves the sound to the speakers by itself).
static void flipHeadphones(BOOL out)
{
    if (simulatedJacks.merged) {
        setJackConnected(JACK_HEADPHONES, !out);
        addLogLine(out ? "headphones pulled from the merged output's jack: the sound moves to the speakers"
                       : "headphones plugged into the merged output's jack: the sound moves to them");
        return;
    }
    if (out)
        unplugHeadphones();
    else
        plugInHeadphones();
    addLogLine(out ? "headphones unplugged: the speakers are the default output"
                   : "headphones plugged in: they are the default output");
    standInSessionFollows();
}

// A laptop's driver set to serve the speakers and the headphone jack as one output: the
// headphones' own endpoint goes, as when the vendor's console changes that setting, and the
// speakers' endpoint carries both, the headphones plugged in.
static void mergeOutputs(BOOL merged)
{
    mergeSpeakersAndHeadphones(merged);
    if (merged && !headphonesUnplugged())
        setDevicePresent(HEADPHONES, FALSE, SPEAKERS);
    addLogLine(merged ? "merged output: one endpoint, Speakers/Headphones, the headphones in its jack"
                      : "speakers and headphones are separate outputs again");
    standInSessionFollows();
}

static void flipCondition(int id)
{
    BOOL on = IsDlgButtonChecked(playerWindow.hwnd, id) == BST_CHECKED;
    if (id == IDC_SWITCH_SCREEN_SAVER)
        setScreenSaverRunning(on);
    if (id == IDC_SWITCH_MUTE && !setUserMute(on))
        addLogLine("no mixer with a speaker mute on this machine");
    if (id == IDC_SWITCH_HEADPHONES)
        flipHeadphones(on);
    if (id == IDC_SWITCH_MERGED_OUTPUT)
        mergeOutputs(on);
    if (id == IDC_SWITCH_SECURE_DESKTOP) {
        simulatedSession.secureDesktop = on;
        addLogLine(on ? "secure desktop up (UAC prompt): the input desktop cannot be opened, no lock told"
                      : "secure desktop gone");
    }
    if (id == IDC_SWITCH_LOCK) {
        setWorkstationLocked(on);
        addLogLine(on ? "workstation locked (simulated)" : "workstation unlocked");
    }
    if (id == IDC_SWITCH_CALL) {
        KillTimer(playerWindow.hwnd, BRIEF_CAPTURE_TIMER);
        if (on)
            startProgramCapture(MEETING_APP, HEADSET);
        else
            stopProgramCapture(MEETING_APP);
        addLogLine(on ? "call: meeting_app.exe captures from the headset's microphone"
                      : "call ended: meeting_app.exe stops capturing");
    }
    if (id == IDC_SWITCH_RECORDING) {
        if (on)
            startProgramCapture(STREAM_RECORDER, MICROPHONE);
        else
            stopProgramCapture(STREAM_RECORDER);
        addLogLine(on ? "stream_recorder.exe records from the microphone (no call, where Hushgate lists it)"
                      : "stream_recorder.exe stops recording");
    }
    refreshStatus();
}

// A device test or a level meter: shorter than a call, it should pause nothing.
static void startBriefCapture(void)
{
    if (programCapturing(MEETING_APP))
        return;
    startProgramCapture(MEETING_APP, MICROPHONE);
    addLogLine("another program captures from the microphone for 0.4 s");
    SetTimer(playerWindow.hwnd, BRIEF_CAPTURE_TIMER, BRIEF_CAPTURE_MS, NULL);
    refreshStatus();
}

static void endBriefCapture(void)
{
    KillTimer(playerWindow.hwnd, BRIEF_CAPTURE_TIMER);
    stopProgramCapture(MEETING_APP);
    addLogLine("the brief capture ended");
    refreshStatus();
}

// What Windows broadcasts around a sleep; the log shows where the player stood when the
// machine would have gone to sleep.
static void sleepAndWake(void)
{
    addLogLine("system going to sleep");
    broadcastSuspend();
    char text[80];
    wsprintfA(text, "asleep: the player is %s", playStateName(playerWindow.playState));
    addLogLine(text);
    broadcastResume();
    addLogLine("system woke up");
    refreshStatus();
}

// A wake timer or Wake-on-LAN: the machine sleeps, then wakes with nobody there and Windows
// sends the automatic resume alone. The user's own input afterwards (moving the mouse over this
// window) is what tells the plug-in someone is back.
static void sleepUntilUnattendedWake(void)
{
    addLogLine("system going to sleep");
    broadcastSuspend();
    char text[80];
    wsprintfA(text, "asleep: the player is %s", playStateName(playerWindow.playState));
    addLogLine(text);
    SetTimer(playerWindow.hwnd, UNATTENDED_WAKE_TIMER, UNATTENDED_SLEEP_MS, NULL);
}

static void wakeWithNobodyThere(void)
{
    KillTimer(playerWindow.hwnd, UNATTENDED_WAKE_TIMER);
    broadcastWake(PBT_APMRESUMEAUTOMATIC);
    addLogLine("system woke with nobody there (the automatic resume alone)");
    refreshStatus();
}

static void configurePlugin(int index)
{
    char text[200];
    wsprintfA(text, "configuring %.180s", standIn.plugins.plugins[index].header->description);
    addLogLine(text);
    standIn.plugins.plugins[index].header->config();
}

// Everything the player's own procedure does not handle: the frame, its menu and switches.
static LRESULT CALLBACK frameProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_SWITCH_SCREEN_SAVER:
        case IDC_SWITCH_MUTE:
        case IDC_SWITCH_LOCK:
        case IDC_SWITCH_HEADPHONES:
        case IDC_SWITCH_MERGED_OUTPUT:
        case IDC_SWITCH_SECURE_DESKTOP:
        case IDC_SWITCH_CALL:
        case IDC_SWITCH_RECORDING:
            flipCondition(LOWORD(wParam));
            return 0;
        case IDC_BRIEF_CAPTURE:
            startBriefCapture();
            return 0;
        case IDC_SLEEP:
            sleepAndWake();
            return 0;
        case IDC_UNATTENDED_WAKE:
            sleepUntilUnattendedWake();
            return 0;
        case IDM_EXIT:
            DestroyWindow(hwnd);
            return 0;
        }
        if (LOWORD(wParam) >= IDM_CONFIGURE_FIRST && LOWORD(wParam) < IDM_CONFIGURE_FIRST + standIn.plugins.count) {
            configurePlugin(LOWORD(wParam) - IDM_CONFIGURE_FIRST);
            return 0;
        }
        break;
    case WM_TIMER:
        if (wParam == UNATTENDED_WAKE_TIMER)
            wakeWithNobodyThere();
        if (wParam == BRIEF_CAPTURE_TIMER)
            endBriefCapture();
        refreshStatus();
        return 0;
    case WM_CLOSE:
        DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

// Wine can neither lock a workstation, nor mute the speakers for every process, nor unplug
// headphones, and it never calls back about the session: the plug-in's own imports are
// intercepted instead, before its init starts the watch thread.
static void interceptPluginImports(HMODULE module)
{
    (void)interceptLockProbe(module);
    (void)interceptSpeakers(module);
}

static void loadRequestedPlugins(int count, char **paths)
{
    standIn.plugins.beforeInit = interceptPluginImports;
    for (int i = 0; i < count; ++i)
        (void)addPlugin(paths[i], playerWindow.hwnd, standIn.plugins, complain);
    char folder[MAX_PATH];
    if (count == 0 && pathBesideProgram(folder, "Plugins"))
        loadPluginFolder(folder, playerWindow.hwnd, standIn.plugins, complain);
    for (int i = 0; i < standIn.plugins.count; ++i) {
        char text[400];
        wsprintfA(text, "loaded %.120s (%s)", standIn.plugins.plugins[i].header->description,
                  standIn.plugins.plugins[i].path);
        say(text);
    }
}

// Real processes, so that the plug-in can read their names; a switch works without them, with
// a process id that is nobody's.
static void startOtherPrograms(void)
{
    for (int program = 0; program < OTHER_PROGRAM_COUNT; ++program) {
        char why[OTHER_PROGRAM_MESSAGE_SIZE];
        if (!startOtherProgram((OtherProgram)program, why))
            complain(why);
    }
}

static int usage(const char *problem)
{
    char line[300];
    wsprintfA(line, "stand_in_player: %s; usage: stand_in_player [--demo] [--screenshots FOLDER] [PLUGIN.dll ...]",
              problem);
    complain(line);
    return 2;
}

static int runWindow(void)
{
    SetTimer(playerWindow.hwnd, REFRESH_TIMER, 200, NULL);
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    unloadAllPlugins(standIn.plugins);
    return 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    standIn.instance = instance;
    standIn.start = GetTickCount();
    int first = 1;
    for (; first < __argc && __argv[first][0] == '-'; ++first) {
        const char *option = __argv[first];
        if (lstrcmpA(option, "--demo") == 0) {
            standIn.demoMode = TRUE;
        } else if (lstrcmpA(option, "--screenshots") == 0) {
            if (first + 1 == __argc)
                return usage("--screenshots needs a folder");
            standIn.screenshotFolder = __argv[++first];
        } else {
            char problem[120];
            wsprintfA(problem, "unknown option %.60s", option);
            return usage(problem);
        }
    }
    if (createPlayerWindow(instance, TRUE, frameProc) == NULL) {
        complain("stand_in_player: cannot create a window; start a display first (scripts/player.sh does)");
        return 1;
    }
    buildControls();
    // The music starts on headphones, so that there is something to unplug.
    resetSimulatedSpeakers();
    resetSimulatedJacks();
    plugInHeadphones();
    playerWindow.onEvent = logPlayerEvent;
    standIn.shownMute = userMuteOn();
    standIn.shownSaver = screenSaverRunning();
    loadRequestedPlugins(__argc - first, __argv + first);
    buildMenu();
    refreshStatus();
    if (standIn.screenshotFolder != NULL)
        return takeScreenshots(standIn.plugins, standIn.screenshotFolder, say) ? 0 : 1;
    startOtherPrograms();
    int status = standIn.demoMode ? (runDemoStory(standIn.plugins, say) ? 0 : 1) : runWindow();
    endOtherPrograms();
    return status;
}
