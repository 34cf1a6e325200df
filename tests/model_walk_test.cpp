// Seeded random walks over everything the machine, the player and the user can do, with the
// engine run as the plug-in runs it, but on this thread: the signal window takes the session's
// notices and the power broadcasts, the simulated speakers, sessions and mixer call its Core
// Audio callbacks, the test clock stands still between steps, and pollOnce is the watch loop's
// look. Every step is checked against the model; a failure prints the seed and the shortest
// walk that still fails, one readable line per step.
#include <stdio.h>
#include <stdlib.h>

#include <mmdeviceapi.h>
#include <audiopolicy.h>

#include "engine/audio_platform.h"
#include "engine/call_capture.h"
#include "engine/endpoint_mute.h"
#include "engine/ignored_programs.h"
#include "engine/output_device.h"
#include "engine/settings_in_force.h"
#include "engine/sleep_hold.h"
#include "engine/transport_filter.h"
#include "engine/wake_signals.h"
#include "engine/watch_build.h"
#include "engine/watch_loop.h"
#include "notice_threads.h"
#include "playback_model.h"
#include "simulated_jacks.h"
#include "simulated_sessions.h"
#include "simulated_speakers.h"
#include "test_support.h"

#include <wtsapi32.h>

enum { DEFAULT_WALKS = 400, DEFAULT_WALK_STEPS = 80, MAX_WALK_STEPS = 5000 };
static const DWORD WALK_CLOCK_START = 0x10000000u;

static LONG loopTogglesSeen;
static void countLoopToggles(const PlayerEvent &event)
{
    if (event.id == CMD_PAUSE && pluginState.issuingCommand)
        ++loopTogglesSeen;
}

static LONG envCount(const char *name, LONG fallback)
{
    const char *text = getenv(name);
    return text != NULL ? atol(text) : fallback;
}

// The microphones of the model, as devices of the simulated table.
static LONG microphoneDevice(LONG microphone)
{
    if (microphone < 2)
        return microphone == 0 ? (LONG)MICROPHONE : (LONG)HEADSET;
    return FIRST_EXTRA_MICROPHONE + microphone - 2;
}

static DWORD otherProgram(LONG program)
{
    return GetCurrentProcessId() + 8 + 4 * (DWORD)program;
}

// The model's names as processes run them, and as a user may list them: without ".exe", in
// other letters' case, a full path in quotes, blanks around.
static const WCHAR *const processNames[MODEL_NAMES] = {L"obs64.exe", L"voicemeeter.exe", L"Teams.exe", L"zoom.exe"};
static const WCHAR *const listedNames[MODEL_NAMES] = {L"OBS64", L" VoiceMeeter.EXE ", L"\"C:\\Apps\\teams.exe\"",
                                                      L"zoom.exe"};

static void ignoreListOf(LONG mask, WCHAR (&list)[IGNORE_LIST_SIZE])
{
    list[0] = L'\0';
    for (LONG name = 0; name < MODEL_NAMES; ++name) {
        if ((mask >> name) & 1)
            lstrcatW(lstrcatW(list, listedNames[name]), L";");
    }
}

static void applyIgnoreList(LONG mask)
{
    WCHAR list[IGNORE_LIST_SIZE];
    ignoreListOf(mask, list);
    setIgnoredPrograms(list, FALSE);
}

// The Windows a walk runs on, from its seed: half of them 8 and later, the rest shared by 2000,
// XP, Vista and 7.
static LONG generationOfWalk(unsigned seed)
{
    static const LONG generations[] = {MODEL_WINDOWS_2000,  MODEL_WINDOWS_XP,   MODEL_WINDOWS_VISTA,
                                       MODEL_WINDOWS_7,     MODEL_WINDOWS_8_ON, MODEL_WINDOWS_8_ON,
                                       MODEL_WINDOWS_8_ON,  MODEL_WINDOWS_8_ON};
    return generations[(seed / 24) % 8];
}

// Half the walks hear Core Audio's notices from threads of the platform's own, as Windows calls
// them, at any moment; a step waits for them before the look it brings and the comparison.
static BOOL noticesFromThreads(unsigned seed)
{
    return (seed / 192) % 2;
}

// The session a walk meets, from its seed: one that cannot say its lock (before 7, Wine), one
// that can (8 and later), one that says it inverted (7); and in half of them "sign in on wake".
enum { WALK_SESSION_SILENT, WALK_SESSION_TELLS, WALK_SESSION_AS_SEVEN };
static LONG sessionOfWalk(unsigned seed, ModelState *model)
{
    LONG kind = (LONG)((seed / 4) % 6);
    LONG generation = generationOfWalk(seed);
    if (generation < MODEL_WINDOWS_7)
        kind = kind / 3 * 3 + WALK_SESSION_SILENT;
    else if (generation == MODEL_WINDOWS_7)
        kind = kind / 3 * 3 + WALK_SESSION_AS_SEVEN;
    else if (kind % 3 == WALK_SESSION_AS_SEVEN)
        kind -= 1;
    if (model != NULL) {
        model->sessionTells = kind % 3 != WALK_SESSION_SILENT;
        model->lockToldAfterWake = kind / 3;
        model->generation = generation;
    }
    return kind;
}

class ModelWalk : public PluginTest {
protected:
    HRESULT apartment;
    BOOL engineUp;
    // The player's own sessions and the other programs', as the simulated platform holds them.
    LONG stream, streamDevice, streamState, second, secondDevice, secondWanted, pinned;
    LONG captures[MODEL_PROGRAMS][MODEL_MICROPHONES], captureOn[MODEL_PROGRAMS], alsoOn[MODEL_PROGRAMS];
    LONG ownCapture, systemSounds, crowd[MODEL_CROWD_SIZE * 2];
    BOOL mixerPresent;
    unsigned walkSeed;
    std::string mismatch;

    void SetUp() override
    {
        PluginTest::SetUp();
        installFilter();
        playerWindow.onEvent = countLoopToggles;
        apartment = enterComApartment();
        engineUp = FALSE;
        mixerPresent = mixerGetNumDevs() > 0 && getenv("HUSHGATE_EXPECT_NO_MIXER") == NULL;
    }
    void TearDown() override
    {
        stopEngine();
        EXPECT_EQ(simulatedJacks.callbacks, 0) << "a jack notice stayed registered";
        EXPECT_EQ(simulatedJacks.liveObjects, 0) << "a reference to a jack was not released";
        leaveComApartment(apartment);
        playerWindow.onEvent = NULL;
        PluginTest::TearDown();
    }

    // --- the plug-in's life, as init and quit bring it on the player's thread ---------------

    void look(void)
    {
        settleNotices();
        renewAudioWatchAfterOutage();
        pollOnce();
        watchSignalsBetweenPolls();
    }
    void stopEngine(void)
    {
        if (!engineUp)
            return;
        watchSignalsEnd();
        (void)closeSignalWindow();
        // The mixer stays open from one start to the next: Wine's stops answering after 256
        // opens in one process, and thousands of walks run in one.
        engineUp = FALSE;
    }
    void startEngine(void)
    {
        pluginState.pausedByPlugin = 0;
        pluginState.issuingCommand = 0;
        forgetHandedOverRelease();
        forgetOutputDevice();
        openSignalWindow();
        watchSignalsBegin();
        engineUp = TRUE;
    }

    // --- the player's own sessions follow the player and the outputs ------------------------

    BOOL outputActive(LONG device)
    {
        return device != MODEL_NOWHERE && simulatedSpeakers.state[device] == DEVICE_STATE_ACTIVE;
    }
    void endSession(LONG &session, LONG &device)
    {
        if (device == MODEL_NOWHERE)
            return;
        if (outputActive(device))
            removeSimulatedSession(session);
        else
            disconnectSimulatedSession(session, DisconnectReasonDeviceRemoval);
        session = NO_SESSION;
        device = MODEL_NOWHERE;
    }
    void sessionsFollow(void)
    {
        BOOL playing = playerWindow.playState == PLAY_STATE_PLAYING;
        AudioSessionState state = playing ? AudioSessionStateActive : AudioSessionStateInactive;
        if (!outputActive(pinned))
            pinned = MODEL_NOWHERE;
        LONG target = pinned != MODEL_NOWHERE ? pinned : simulatedSpeakers.defaultDevice;
        if (streamDevice != MODEL_NOWHERE && (!outputActive(streamDevice) || streamDevice != target))
            endSession(stream, streamDevice);
        if (playing && streamDevice == MODEL_NOWHERE && outputActive(target)) {
            stream = addSimulatedSession(target, GetCurrentProcessId(), state, FALSE);
            streamDevice = target;
            streamState = state;
        } else if (streamDevice != MODEL_NOWHERE && streamState != state) {
            setSimulatedSessionState(stream, state);
            streamState = state;
        }
        if (!outputActive(secondWanted))
            secondWanted = MODEL_NOWHERE;
        if (secondDevice != secondWanted)
            endSession(second, secondDevice);
        if (secondWanted != MODEL_NOWHERE && secondDevice == MODEL_NOWHERE) {
            second = addSimulatedSession(secondWanted, GetCurrentProcessId(), state, FALSE);
            secondDevice = secondWanted;
        } else if (secondDevice != MODEL_NOWHERE && simulatedSessionState(second) != state) {
            setSimulatedSessionState(second, state);
        }
    }

    // A program's session on each microphone, made at its first capture there, active while it
    // captures there: on one microphone, or on two at once.
    void capturesFollow(LONG program)
    {
        for (LONG microphone = 0; microphone < MODEL_MICROPHONES; ++microphone) {
            BOOL wanted = captureOn[program] == microphone || alsoOn[program] == microphone;
            LONG &session = captures[program][microphone];
            if (session != NO_SESSION)
                setSimulatedSessionState(session, wanted ? AudioSessionStateActive : AudioSessionStateInactive);
            else if (wanted)
                session = addSimulatedSession(microphoneDevice(microphone), otherProgram(program), AudioSessionStateActive,
                                              FALSE);
        }
    }
    void capture(LONG program, LONG microphone)
    {
        captureOn[program] = microphone;
        if (alsoOn[program] == microphone)
            alsoOn[program] = MODEL_NOWHERE;
        capturesFollow(program);
    }
    void sessionEnds(LONG program, BOOL cutOff)
    {
        LONG microphone = captureOn[program];
        if (microphone == MODEL_NOWHERE)
            return;
        LONG &session = captures[program][microphone];
        if (cutOff)
            disconnectSimulatedSession(session, DisconnectReasonExclusiveModeOverride);
        else
            removeSimulatedSession(session);
        session = NO_SESSION;
        captureOn[program] = MODEL_NOWHERE;
    }
    void sessionOnMicrophone(LONG &session, DWORD processId, BOOL systemSound, BOOL active)
    {
        AudioSessionState state = active ? AudioSessionStateActive : AudioSessionStateInactive;
        if (session == NO_SESSION)
            session = addSimulatedSession(MICROPHONE, processId, state, systemSound);
        else
            setSimulatedSessionState(session, state);
    }

    // --- one step on the engine's side ---------------------------------------------------------

    // The notice a driver sends when the mute changes, and Wine's mixer never does.
    static void tellMixerChange(void)
    {
        HMIXER mixer;
        DWORD muteControl = 0;
        if (conditionMuteControl(mixer, muteControl))
            (void)SendMessageA(ownSignalWindow(), MM_MIXM_CONTROL_CHANGE, (WPARAM)mixer, (LPARAM)muteControl);
    }

    void timePasses(DWORD ms)
    {
        DWORD end = GetTickCount() + ms;
        for (int looks = 0; looks < 200; ++looks) {
            DWORD now = GetTickCount();
            DWORD wait = pollInterval(pluginState.settings.checkTime);
            DWORD due = callRuleDueIn(now), wakeDue = sleepHoldDueIn();
            due = wakeDue < due ? wakeDue : due;
            wait = due < wait ? due : wait;
            if (end - now < wait)
                break;
            moveClockTo(now + wait);
            look();
            sessionsFollow();
        }
        moveClockTo(end);
    }

    void act(const Step &step)
    {
        LONG v = step.value;
        switch (step.kind) {
        case STEP_POLL:
            break;
        case STEP_TIME:
            timePasses((DWORD)v);
            break;
        case STEP_LOCK:
            setWorkstationLocked(v);
            pumpMessagesFor(0);
            break;
        case STEP_SESSION_NOTICE:
            if (v == WTS_SESSION_LOCK || v == WTS_SESSION_UNLOCK)
                setWorkstationLockedPosted(v == WTS_SESSION_LOCK);
            else
                postSessionNotice((WPARAM)v);
            break;
        case STEP_MESSAGES:
            pumpMessagesFor(0);
            break;
        case STEP_SECURE_DESKTOP:
            simulatedSession.secureDesktop = v;
            break;
        case STEP_SESSION_SERVICE:
            simulatedSession.failuresToCome = 0;
            break;
        case STEP_SUSPEND:
            broadcastSuspend();
            break;
        case STEP_WAKE:
            broadcastWake(v ? PBT_APMRESUMESUSPEND : PBT_APMRESUMEAUTOMATIC);
            break;
        case STEP_ASLEEP:
            moveClockTo(GetTickCount() + (DWORD)v * 60000u);
            break;
        case STEP_INPUT:
            moveClockTo(GetTickCount() + 1);
            simulatedInputTick = GetTickCount();
            break;
        case STEP_SCREEN_SAVER:
            setScreenSaverRunning(v);
            break;
        case STEP_MUTE:
            (void)setSystemMute(v % 2);
            if (v < 2)
                tellMixerChange();
            pumpMessagesFor(0);
            break;
        case STEP_SPEAKER_MUTE:
            setSpeakersMuted(v);
            break;
        case STEP_MUTE_UNREADABLE:
            simulatedSpeakers.failing[SPEAKER_STEP_GET_MUTE] = v;
            break;
        case STEP_OUTPUT: {
            LONG device = v / 2, other = 1 - device, now = simulatedSpeakers.defaultDevice;
            LONG newDefault = v % 2 ? device : now != device ? now : outputActive(other) ? other : (LONG)NO_DEFAULT_SPEAKERS;
            setDevicePresent(device, v % 2, newDefault);
            break;
        }
        case STEP_DEFAULT_OUTPUT:
            if (outputActive(v))
                chooseDefaultDevice(v);
            break;
        case STEP_PLAYER_OUTPUT:
            pinned = v;
            break;
        case STEP_SECOND_SESSION:
            secondWanted = v;
            break;
        case STEP_CAPTURE:
            capture(v / 16, v % 16 - 1);
            break;
        case STEP_NO_CALL:
            if (v < 2)
                sessionOnMicrophone(ownCapture, GetCurrentProcessId(), FALSE, v);
            else
                sessionOnMicrophone(systemSounds, otherProgram(MODEL_PROGRAMS), TRUE, v == 3);
            break;
        case STEP_CROWD:
            // Two sessions each (a browser's two tabs): more than the plug-in's table of sessions.
            for (LONG i = 0; i < MODEL_CROWD_SIZE * 2; ++i)
                sessionOnMicrophone(crowd[i], otherProgram(MODEL_PROGRAMS + 1 + i / 2), FALSE, v);
            break;
        case STEP_MICROPHONE: {
            LONG microphone = v / 4, device = microphoneDevice(microphone);
            BOOL present = (v / 2) % 2;
            simulatedSessions.managerFailuresToCome[device] = present && v % 2;
            for (LONG program = 0; program < MODEL_PROGRAMS && !present; ++program) {
                if (alsoOn[program] == microphone)
                    alsoOn[program] = MODEL_NOWHERE;
                if (captureOn[program] == microphone)
                    captureOn[program] = MODEL_NOWHERE;
                capturesFollow(program);
            }
            setDevicePresent(device, present, simulatedSpeakers.defaultDevice);
            break;
        }
        case STEP_COMMAND:
            pressPlayerButton((WORD)v);
            break;
        case STEP_SETTINGS:
            pressOk(v);
            break;
        case STEP_PROCESS_ID_REUSED: {
            // The sessions of a process that ends expire with it.
            LONG program = v / 16;
            for (LONG &session : captures[program]) {
                removeSimulatedSession(session);
                session = NO_SESSION;
            }
            captureOn[program] = alsoOn[program] = MODEL_NOWHERE;
            startSimulatedProcess(otherProgram(program), processNames[(v / 2) % MODEL_NAMES]);
            if (v % 2)
                capture(program, 0);
            break;
        }
        case STEP_JACK:
            setJackConnected(v < 2 ? JACK_HEADPHONES : JACK_WITHOUT_PRESENCE_DETECT, v % 2);
            break;
        case STEP_RESTART:
            stopEngine();
            pluginState.settings.isDeviceLost = v & 1;
            pluginState.settings.isCall = (v >> 1) & 1;
            startEngine();
            break;
        case STEP_UNLISTED_SESSIONS:
            simulatedSessions.announcedUnlisted = v;
            break;
        case STEP_SHARED_SESSIONS:
            simulatedSessions.sharedByProcesses = v;
            break;
        case STEP_SESSION_ENDS:
            sessionEnds(v / 2, v % 2);
            break;
        case STEP_SECOND_MICROPHONE:
            alsoOn[v / 16] = v % 16 - 1;
            capturesFollow(v / 16);
            break;
        case STEP_DEFAULT_MICROPHONE:
            chooseDefaultMicrophone(microphoneDevice(v));
            break;
        case STEP_LOCK_TOLD_LATE:
            postLockToldLate();
            break;
        case STEP_REMOTE_SESSION:
            postSessionNotice(v ? WTS_REMOTE_CONNECT : WTS_REMOTE_DISCONNECT);
            break;
        case STEP_CRITICAL_RESUME:
            broadcastWake(PBT_APMRESUMECRITICAL);
            break;
        case STEP_AUDIO_SERVICE:
            if (v)
                startAudioService();
            else
                stopAudioService();
            break;
        case STEP_KIND_COUNT:
            break;
        }
    }

    // The dialog's OK as it publishes the set on the player's thread; pressed while a look runs,
    // it lands as that look asks the player's state.
    static LONG settingsPressed;
    static void publishPressed(void)
    {
        playerWindow.onPlayStateQuery = NULL;
        LONG v = settingsPressed;
        Settings next = settingsInForce();
        next.isLock = v & 1;
        next.isScreenSave = (v >> 1) & 1;
        next.isMute = (v >> 2) & 1;
        next.checkTime = modelIntervals[(v >> 3) % 6];
        next.isDeviceLost = (v >> 6) & 1;
        next.isCall = (v >> 7) & 1;
        WCHAR list[IGNORE_LIST_SIZE];
        ignoreListOf(v >> 8, list);
        publishSettings(next, list, FALSE);
    }
    void pressOk(LONG v)
    {
        settingsPressed = v;
        if (v & SETTINGS_DURING_A_LOOK) {
            playerWindow.onPlayStateQuery = publishPressed;
            look();
            sessionsFollow();
        }
        if (playerWindow.onPlayStateQuery != NULL || !(v & SETTINGS_DURING_A_LOOK))
            publishPressed();
    }

    // The same steps the model answers with a look: what Windows announces wakes the loop at once.
    static BOOL announced(const Step &step)
    {
        if (step.kind == STEP_MUTE)
            return step.value < 2;
        switch (step.kind) {
        case STEP_TIME:
        case STEP_SESSION_NOTICE:
        case STEP_SECURE_DESKTOP:
        case STEP_SESSION_SERVICE:
        case STEP_ASLEEP:
        case STEP_INPUT:
        case STEP_SCREEN_SAVER:
        case STEP_MUTE_UNREADABLE:
        case STEP_COMMAND:
        case STEP_UNLISTED_SESSIONS:
        case STEP_SHARED_SESSIONS:
        case STEP_LOCK_TOLD_LATE:
        case STEP_REMOTE_SESSION:
            return FALSE;
        default:
            return TRUE;
        }
    }

    LONG sessionsSeen(void)
    {
        BOOL playing = playerWindow.playState == PLAY_STATE_PLAYING;
        return (streamDevice + 1) * 27 + (streamDevice != MODEL_NOWHERE && streamState == AudioSessionStateActive) * 9 +
               (secondDevice + 1) * 3 + (playing && secondDevice != MODEL_NOWHERE);
    }

    void applyToEngine(const Step &step, BOOL &asleep)
    {
        LONG sessionsBefore = sessionsSeen();
        act(step);
        sessionsFollow();
        asleep = step.kind == STEP_SUSPEND || (asleep && step.kind != STEP_WAKE && step.kind != STEP_CRITICAL_RESUME);
        // A start of the user's that makes the player's session active is told at once.
        BOOL told = announced(step) || (step.kind == STEP_COMMAND && sessionsSeen() != sessionsBefore);
        told = told && !stepUnheard(step, simulatedSpeakers.serviceStopped);
        if (told && (!asleep || step.kind == STEP_SUSPEND)) {
            look();
            sessionsFollow();
        }
        settleNotices();
    }

    // --- the comparison ------------------------------------------------------------------------

    struct Counters {
        LONG lockProbes, sessionQueries, saverQueries, mixerReads, muteReads, captureListings, deviceReads;
    };
    Counters counters(void)
    {
        Counters c = {callCounts.lockProbes, simulatedSession.infoQueries, callCounts.screenSaverQuery,
                      callCounts.mixerDetails, simulatedSpeakers.calls[SPEAKER_STEP_GET_MUTE],
                      simulatedSpeakers.captureListings, simulatedSpeakers.calls[SPEAKER_STEP_GET_DEVICE]};
        return c;
    }
    void expectNoCalls(const char *what, BOOL offBefore, BOOL offAfter, LONG before, LONG after)
    {
        if (offBefore && offAfter && after != before)
            mismatch += std::string(" ") + what + " switched off, yet asked;";
    }
    BOOL engineMatches(const ModelState &model, const ModelState &before, const Counters &start)
    {
        char text[200];
        mismatch.clear();
        if (playerWindow.playState != model.playState || pluginState.pausedByPlugin != model.pausedByPlugin ||
            loopTogglesSeen != model.pluginToggles) {
            wsprintfA(text, " player %s, plug-in's pause %ld, its toggles %ld; the model: %s, %ld, %ld;",
                      playStateName(playerWindow.playState), pluginState.pausedByPlugin, loopTogglesSeen,
                      playStateName(model.playState), model.pausedByPlugin, model.pluginToggles);
            mismatch += text;
        }
        if ((mixerPresent && (readSystemMute() != 0) != (model.mixerMuted != FALSE)) ||
            (simulatedSpeakers.muted[SPEAKERS] != 0) != (model.outputMuted[MODEL_SPEAKERS] != FALSE) ||
            (simulatedSpeakers.muted[HEADPHONES] != 0) != (model.outputMuted[MODEL_HEADPHONES] != FALSE)) {
            wsprintfA(text, " mutes mixer %ld speakers %ld headphones %ld; the model: %d %d %d;", readSystemMute(),
                      simulatedSpeakers.muted[SPEAKERS], simulatedSpeakers.muted[HEADPHONES], model.mixerMuted,
                      model.outputMuted[0], model.outputMuted[1]);
            mismatch += text;
        }
        Counters end = counters();
        expectNoCalls("the lock (desktop probe)", !before.isLock, !model.isLock, start.lockProbes, end.lockProbes);
        expectNoCalls("the lock (session asked)", !before.isLock, !model.isLock, start.sessionQueries, end.sessionQueries);
        expectNoCalls("the screen saver", !before.isScreenSave, !model.isScreenSave, start.saverQueries, end.saverQueries);
        expectNoCalls("the mute (mixer)", !before.isMute, !model.isMute, start.mixerReads, end.mixerReads);
        expectNoCalls("the mute (output)", !before.isMute, !model.isMute, start.muteReads, end.muteReads);
        expectNoCalls("ISCALL", !before.isCall, !model.isCall, start.captureListings, end.captureListings);
        expectNoCalls("ISDEVICELOST", !before.isDeviceLost, !model.isDeviceLost, start.deviceReads, end.deviceReads);
        expectNoCalls("Core Audio before Vista", TRUE, model.generation < MODEL_WINDOWS_VISTA, 0,
                      simulatedSpeakers.calls[SPEAKER_STEP_CREATE]);
        if (noticeThreads.ruleBreaks != 0)
            mismatch += " a callback registered, unregistered or released what called it;";
        if (simulatedSessions.callsVistaLacks != 0)
            mismatch += " a method Vista's session manager lacks was called;";
        return mismatch.empty();
    }

    WalkLockSource lockSource(unsigned seed)
    {
        static const WalkLockSource sources[] = {LOCK_FROM_NOTICES, LOCK_FROM_NOTICES, LOCK_SERVICE_LATE,
                                                 LOCK_NO_SESSION_LIBRARY};
        // Windows 2000 has no session notices at all.
        return generationOfWalk(seed) == MODEL_WINDOWS_2000 ? LOCK_NO_SESSION_LIBRARY : sources[seed % 4];
    }

    void startWalk(ModelState &model, WalkLockSource source)
    {
        stopEngine();
        settleNotices();
        resetConditions();
        noticeThreads.fromOwnThreads = noticesFromThreads(walkSeed);
        noticeThreads.ruleBreaks = 0;
        simulatedSpeakers.state[HEADPHONES] = DEVICE_STATE_UNPLUGGED;
        mergeSpeakersAndHeadphones(TRUE);
        holdClockAt(WALK_CLOCK_START);
        simulatedInputTick = WALK_CLOCK_START - 5000;
        simulatedSession.failuresToCome = source == LOCK_SERVICE_LATE ? 1000000 : 0;
        simulatedSession.libraryMissing = source == LOCK_NO_SESSION_LIBRARY;
        LONG session = sessionOfWalk(walkSeed, NULL);
        simulatedSession.infoAnswer = session % 3 != WALK_SESSION_SILENT ? SESSION_INFO_TELLS : SESSION_INFO_FAILS;
        simulatedSession.windowsSeven = session % 3 == WALK_SESSION_AS_SEVEN;
        simulatedSession.lockToldAfterWake = session / 3;
        LONG generation = generationOfWalk(walkSeed);
        pluginState.hasCoreAudio = generation >= MODEL_WINDOWS_VISTA;
        pluginState.osMajorVersion = generation >= MODEL_WINDOWS_VISTA ? 6 : 5;
        // Vista's endpoints have no IAudioSessionManager2.
        simulatedSessions.failing[SESSION_STEP_MANAGER] = generation == MODEL_WINDOWS_VISTA;
        setSettings(1, 1, 1, 500);
        pluginState.settings.isDeviceLost = 1;
        pluginState.settings.isCall = 1;
        applyIgnoreList(0);
        endSimulatedProcesses();
        for (LONG program = 0; program < MODEL_PROGRAMS; ++program)
            startSimulatedProcess(otherProgram(program), processNames[program]);
        playerWindow.playState = PLAY_STATE_PLAYING;
        stream = second = ownCapture = systemSounds = NO_SESSION;
        for (LONG &session : crowd)
            session = NO_SESSION;
        streamDevice = secondDevice = secondWanted = pinned = MODEL_NOWHERE;
        for (LONG program = 0; program < MODEL_PROGRAMS; ++program) {
            captureOn[program] = alsoOn[program] = MODEL_NOWHERE;
            for (LONG &session : captures[program])
                session = NO_SESSION;
        }
        sessionsFollow();
        loopTogglesSeen = 0;
        startEngine();
        look();
        sessionsFollow();
        modelStart(model, mixerPresent, source, WALK_CLOCK_START);
        (void)sessionOfWalk(walkSeed, &model);
    }

    // The index of the first step after which engine and model differ, or -1.
    int replay(const Step *steps, int count, WalkLockSource source)
    {
        ModelState model;
        startWalk(model, source);
        BOOL asleep = FALSE;
        for (int i = 0; i < count; ++i) {
            ModelState before = model;
            startCountingCalls();
            Counters start = counters();
            applyToEngine(steps[i], asleep);
            modelApply(model, steps[i]);
            BOOL same = engineMatches(model, before, start);
            stopCountingCalls();
            if (!same)
                return i;
        }
        return -1;
    }

    // Drops runs of steps, then single ones, for as long as the walk still fails without them.
    int shrink(Step *steps, int count, WalkLockSource source)
    {
        static Step trial[MAX_WALK_STEPS];
        for (int before = count + 1; count < before;) {
        before = count;
        for (int run = count / 2; run >= 1; run /= 2) {
            for (int i = 0; i + run <= count;) {
                CopyMemory(trial, steps, i * sizeof *steps);
                CopyMemory(trial + i, steps + i + run, (count - i - run) * sizeof *steps);
                int failedAt = replay(trial, count - run, source);
                if (failedAt >= 0) {
                    count = failedAt + 1;
                    CopyMemory(steps, trial, count * sizeof *steps);
                    continue;
                }
                i += run;
            }
        }
        }
        return count;
    }
};

LONG ModelWalk::settingsPressed;
static Step walkSteps[MAX_WALK_STEPS];

// CI runs many short walks from fixed seeds; HUSHGATE_SEED, HUSHGATE_WALKS and
// HUSHGATE_WALK_STEPS run others, more and longer.
TEST_F(ModelWalk, EveryStepAgreesWithTheModel)
{
    unsigned firstSeed = (unsigned)envCount("HUSHGATE_SEED", 20261208);
    LONG walks = envCount("HUSHGATE_WALKS", DEFAULT_WALKS);
    LONG length = envCount("HUSHGATE_WALK_STEPS", DEFAULT_WALK_STEPS);
    length = length < 1 ? 1 : length > (LONG)MAX_WALK_STEPS ? (LONG)MAX_WALK_STEPS : length;
    printf("model walk: seeds %u to %u, %ld steps each (HUSHGATE_SEED, HUSHGATE_WALKS, HUSHGATE_WALK_STEPS)\n",
           firstSeed, firstSeed + (unsigned)walks - 1, length);
    LONG failures = 0, failuresShown = envCount("HUSHGATE_WALK_FAILURES", 3);
    for (LONG walk = 0; walk < walks && failures < failuresShown; ++walk) {
        unsigned seed = firstSeed + (unsigned)walk;
        WalkLockSource source = lockSource(seed);
        // The steps depend on where the model stands: a capture on a microphone plugged in.
        ModelState model;
        modelStart(model, mixerPresent, source, WALK_CLOCK_START);
        walkSeed = seed;
        LONG session = sessionOfWalk(seed, &model);
        unsigned state = seed;
        for (int i = 0; i < length; ++i) {
            walkSteps[i] = randomStep(state, model, TRUE);
            modelApply(model, walkSteps[i]);
        }
        int failedAt = replay(walkSteps, length, source);
        if (failedAt < 0)
            continue;
        ++failures;
        std::string first = mismatch;
        int shortest = shrink(walkSteps, failedAt + 1, source);
        (void)replay(walkSteps, shortest, source);
        static const char *const sources[] = {"session notices", "session service late", "no wtsapi32"};
        static const char *const sessions[] = {"a session that cannot say its lock", "a session that says its lock",
                                               "a session that says its lock inverted, as Windows 7",
                                               "a session that cannot say its lock, sign in on wake",
                                               "a session that says its lock, sign in on wake",
                                               "a session that says its lock inverted, as Windows 7, sign in on wake"};
        static const char *const generations[] = {"Windows 2000", "XP", "Vista", "7", "8 and later"};
        std::string listing = std::string("\n  (") + generations[model.generation] + ", " + sources[source] + ", " +
                              sessions[session] + (mixerPresent ? ", a mixer" : ", no mixer") +
                              (noticesFromThreads(seed) ? ", notices from the platform's threads)" : ")");
        for (int i = 0; i < shortest; ++i) {
            char text[192];
            describeStep(walkSteps[i], text);
            char line[224];
            wsprintfA(line, "\n  %2d. %s", i + 1, text);
            listing += line;
        }
        ADD_FAILURE() << "seed " << seed << ": engine and model part at step " << failedAt + 1 << ":" << first
                      << "\nshortest failing walk:" << listing << "\n  then:" << mismatch;
    }
}
