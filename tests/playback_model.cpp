// The README's promises restated as plainly as possible, independent of the engine's code: a
// look (poll) at the interval, the filter in front of the player's commands, and what the
// machine tells and when. Each rule names the README's words it comes from.
#include "playback_model.h"

#include <wtsapi32.h>

#include "plugin/host_contract.h"

static BOOL outputThere(const ModelState &m, LONG device)
{
    return device != MODEL_NOWHERE && m.outputIn[device];
}

static void enqueue(ModelState &m, LONG message, LONG word)
{
    if (m.queued < MODEL_QUEUE) {
        m.queue[m.queued * 2] = message;
        m.queue[m.queued * 2 + 1] = word;
        ++m.queued;
    }
}

// "from Windows 7 on, the device that holds the player's own audio session": opened on the
// default when the music starts, moved with it (or on the device the player is set to), cut off
// when its device goes; active while the music plays.
static void streamFollows(ModelState &m)
{
    if (!outputThere(m, m.playerPinned))
        m.playerPinned = MODEL_NOWHERE;
    LONG target = m.playerPinned != MODEL_NOWHERE ? m.playerPinned : m.defaultOutput;
    if (m.stream != MODEL_NOWHERE && (!outputThere(m, m.stream) || m.stream != target))
        m.stream = MODEL_NOWHERE;
    if (m.playState == PLAY_STATE_PLAYING && m.stream == MODEL_NOWHERE && outputThere(m, target))
        m.stream = target;
    if (!outputThere(m, m.second))
        m.second = MODEL_NOWHERE;
}

// "Vista and later": the outputs and the speakers' own mute. "Windows 7 and later": calls, and
// the output that holds the player's session.
static BOOL hasOutputs(const ModelState &m)
{
    return m.generation >= MODEL_WINDOWS_VISTA;
}

static BOOL listsSessions(const ModelState &m)
{
    return m.generation >= MODEL_WINDOWS_7;
}

// "while the audio service is away": no session can be listed.
static BOOL sessionActiveOn(const ModelState &m, LONG device)
{
    if (m.audioAway)
        return FALSE;
    return listsSessions(m) && m.playState == PLAY_STATE_PLAYING && (m.stream == device || m.second == device);
}

void modelStart(ModelState &m, BOOL mixerPresent, WalkLockSource source, DWORD now)
{
    ZeroMemory(&m, sizeof m);
    m.playState = PLAY_STATE_PLAYING;
    m.now = now;
    m.noSessionLibrary = source == LOCK_NO_SESSION_LIBRARY;
    m.refusalsLeft = source == LOCK_SERVICE_LATE ? 1000000 : 0;
    m.mixerPresent = mixerPresent;
    m.outputIn[MODEL_SPEAKERS] = TRUE;
    m.headphonesInJack = TRUE;
    m.defaultOutput = MODEL_SPEAKERS;
    m.playerPinned = m.second = m.watched = MODEL_NOWHERE;
    m.stream = MODEL_SPEAKERS;
    m.microphoneIn[0] = m.microphoneIn[1] = TRUE;
    for (LONG &microphone : m.captureOn)
        microphone = MODEL_NOWHERE;
    for (LONG &microphone : m.alsoOn)
        microphone = MODEL_NOWHERE;
    for (LONG p = 0; p <= MODEL_CROWD; ++p)
        m.nameOf[p] = p < MODEL_PROGRAMS ? p : MODEL_NOWHERE;
    m.isLock = m.isScreenSave = m.isMute = m.isDeviceLost = m.isCall = 1;
    m.generation = MODEL_WINDOWS_8_ON;
    m.interval = 500;
    // The walk begins as a fresh start does: init registers for the session's notices.
    Step restart = {STEP_RESTART, 3};
    modelApply(m, restart);
}

// --- the lock ------------------------------------------------------------------------------

// "the lock from the desktop that has the input, which cannot tell a lock from an elevation prompt"
static BOOL desktopProbeSaysLocked(const ModelState &m)
{
    return m.locked || m.secureDesktop;
}

// "the session tells it"; where it tells nothing when asked (as under Wine), "the lock at the
// start is taken from the desktop": asked only with the lock switch on ("a switch that is off
// makes no call"; turned on in the dialog, the user is at the screen).
static void registerForNotices(ModelState &m)
{
    if (m.noSessionLibrary || m.noticesHold)
        return;
    if (m.refusalsLeft > 0) {
        --m.refusalsLeft;
        return;
    }
    m.noticesHold = TRUE;
    m.toldDisconnected = FALSE;
    if (m.sessionTells)
        m.toldLock = m.isLock && m.locked ? TOLD_LOCKED : TOLD_UNLOCKED;
    else
        m.toldLock = m.isLock && desktopProbeSaysLocked(m) ? TOLD_BY_THE_PROBE : TOLD_UNLOCKED;
}

// "A lock seen there is looked at again at every look until the desktop comes back or the
// session tells"; "a disconnected session held like a lock".
static BOOL lockedNow(ModelState &m)
{
    if (!m.noticesHold)
        return desktopProbeSaysLocked(m);
    if (m.toldDisconnected)
        return TRUE;
    if (m.toldLock == TOLD_BY_THE_PROBE) {
        if (desktopProbeSaysLocked(m))
            return TRUE;
        m.toldLock = TOLD_UNLOCKED;
    }
    return m.toldLock == TOLD_LOCKED;
}

// "A user's wake into a session that is about to report a lock never plays": the lock the
// session is in counts as told from the wake, as the session says it (Windows 7 on) or else the
// desktop shows it.
static void userWakes(ModelState &m)
{
    if (m.sleepHold == MODEL_AWAKE)
        return;
    m.sleepHold = MODEL_AWAKE;
    if (!m.isLock || !m.noticesHold)
        return;
    if (m.sessionTells) {
        if (m.locked)
            m.toldLock = TOLD_LOCKED;
    } else if (desktopProbeSaysLocked(m)) {
        if (m.toldLock == TOLD_UNLOCKED)
            m.toldLock = TOLD_BY_THE_PROBE;
    } else {
        // "where neither says, it waits 1 s for the lock before it resumes"
        m.sleepHold = MODEL_WAKING;
        m.userWokeAt = m.now;
    }
}

static DWORD wakeWaitDueIn(const ModelState &m)
{
    if (m.sleepHold != MODEL_WAKING)
        return INFINITE;
    DWORD waited = m.now - m.userWokeAt;
    return waited >= MODEL_LOCK_AFTER_WAKE_MS ? 0 : MODEL_LOCK_AFTER_WAKE_MS - waited;
}

// "until it has woken with you at it": the user's resume, or "the next look after your first input".
static BOOL sleepHolds(ModelState &m)
{
    if (m.sleepHold == MODEL_WOKE_UNATTENDED && m.inputSinceWake)
        userWakes(m);
    else if (m.sleepHold == MODEL_WAKING && wakeWaitDueIn(m) == 0)
        m.sleepHold = MODEL_AWAKE;
    return m.sleepHold != MODEL_AWAKE;
}

// A lock a sleep made untold is told before anything after it.
static void tellHeldLock(ModelState &m)
{
    if (m.lockNoticeHeld && m.noticesHold)
        enqueue(m, QUEUED_LOCK, 0);
    m.lockNoticeHeld = FALSE;
}

// The player's thread takes its messages in the order they were posted; a wake with a user
// counts after the session's notices posted before it.
static void takeMessages(ModelState &m)
{
    for (LONG i = 0; i < m.queued; ++i) {
        LONG word = m.queue[i * 2 + 1];
        switch (m.queue[i * 2]) {
        case QUEUED_LOCK:
            m.toldLock = TOLD_LOCKED;
            break;
        case QUEUED_UNLOCK:
            m.toldLock = TOLD_UNLOCKED;
            break;
        case QUEUED_DISCONNECT:
            m.toldDisconnected = TRUE;
            break;
        case QUEUED_CONNECT:
            m.toldDisconnected = FALSE;
            break;
        case QUEUED_RETRY:
            m.retryQueued = FALSE;
            registerForNotices(m);
            break;
        case QUEUED_WAKE:
            // A later sleep held is not ended by the wake before it.
            if (word == m.suspends)
                userWakes(m);
            break;
        }
    }
    m.queued = 0;
}

// --- the mutes -----------------------------------------------------------------------------

BOOL modelSpeakersMuted(const ModelState &m)
{
    return hasOutputs(m) && m.defaultOutput != MODEL_NOWHERE && m.outputMuted[m.defaultOutput];
}

// "no output device at all counts as not muted"; a mute that cannot be read counts as clear.
// "while the audio service is away ... the speakers' mute counts as clear": it cannot be read.
static BOOL mutedNow(const ModelState &m)
{
    return (m.mixerPresent && m.mixerMuted) || (modelSpeakersMuted(m) && !m.muteUnreadable && !m.audioAway);
}

// --- calls ---------------------------------------------------------------------------------

// "A program's name is read when it starts a call (once, however long it captures), and again
// when you change the list"; "a program whose name cannot be read (it ended at once, or Windows
// refuses) counts as a call": a program whose process ended has no name left to read.
static BOOL listed(const ModelState &m, LONG record)
{
    if (record >= MODEL_ENDED || m.nameOf[record] < 0)
        return FALSE;
    return (m.ignoreList >> m.nameOf[record]) & 1;
}

static BOOL countsForNothing(const ModelProgram &program)
{
    return !program.followed || program.excused || program.ignored;
}

// A microphone that cannot be looked at yet (its first activation failed: an endpoint not
// ready, an audio service restarting) is looked at again at the next look; a capture on it
// counts from the look that first sees it.
static BOOL heardOn(const ModelState &m, LONG microphone)
{
    return microphone != MODEL_NOWHERE && m.microphoneIn[microphone] && !m.microphoneLate[microphone];
}

// "another program starts capturing from a microphone": from any, one or two at once.
static BOOL capturesNow(const ModelState &m, LONG program)
{
    if (program >= MODEL_ENDED)
        return FALSE;
    return heardOn(m, m.captureOn[program]) || heardOn(m, m.alsoOn[program]);
}

// "one second after the capture started, if it still runs"; "two seconds after it ended, if
// none started meanwhile"; "two captures of the same program less than 2 s apart are one call";
// what runs when the music started, or when the user plays during a call, holds nothing until
// its capture ends. The music starts where a look finds it playing that the last did not, or
// finds the user playing over a pause of the plug-in's.
static void followCalls(ModelState &m)
{
    BOOL playing = m.playState == PLAY_STATE_PLAYING;
    if (m.ignoreListChanged) {
        for (LONG p = 0; p < MODEL_RECORDS; ++p)
            m.programs[p].ignored = listed(m, p);
        m.ignoreListChanged = FALSE;
    }
    for (LONG p = 0; p < MODEL_RECORDS; ++p) {
        ModelProgram &program = m.programs[p];
        // "while the audio service is away, the calls stand as last seen"
        BOOL capturing = m.audioAway ? program.capturing : capturesNow(m, p);
        if (!program.followed && capturing) {
            program.followed = program.capturing = TRUE;
            program.excused = FALSE;
            program.ignored = listed(m, p);
            program.since = m.now;
        } else if (program.followed) {
            if (program.capturing && !capturing)
                program.stoppedAt = m.now;
            if (!program.capturing && capturing) {
                if (m.now - program.stoppedAt >= 2000)
                    program.excused = FALSE;
                program.since = m.now;
            }
            program.capturing = capturing;
        }
        if (program.followed && !capturing && m.now - program.stoppedAt >= 2000)
            ZeroMemory(&program, sizeof program);
    }
    // This look opened the microphones that could not be opened before.
    for (BOOL &late : m.microphoneLate)
        late = late && m.audioAway;
    if (playing && (m.pausedByPlugin || !m.sawPlaying)) {
        for (ModelProgram &program : m.programs)
            program.excused = program.excused || program.followed;
    }
    m.sawPlaying = playing;
    BOOL holds = FALSE;
    for (const ModelProgram &program : m.programs) {
        if (!countsForNothing(program) && (m.callHolds || (program.capturing && m.now - program.since >= 1000)))
            holds = TRUE;
    }
    m.callHolds = holds;
}

DWORD modelCallDueIn(const ModelState &m)
{
    if (!m.isCall || !listsSessions(m))
        return INFINITE;
    DWORD due = INFINITE;
    for (const ModelProgram &program : m.programs) {
        if (countsForNothing(program))
            continue;
        DWORD left = INFINITE;
        if (program.capturing && !m.callHolds)
            left = m.now - program.since >= 1000 ? 0 : 1000 - (m.now - program.since);
        if (!program.capturing && m.callHolds)
            left = m.now - program.stoppedAt >= 2000 ? 0 : 2000 - (m.now - program.stoppedAt);
        due = left < due ? left : due;
    }
    return due;
}

// --- the output ----------------------------------------------------------------------------

// "The output watched is the one the music plays on": the device holding the player's active
// session (of two, the one watched already; else the first Windows lists), else the default.
// Looked at while the music plays; kept through a pause of the plug-in's own. TRUE when the one
// the music played on went away: "it then pauses once, and leaves it to you".
// "Headphones pulled from the output the music plays on count as that output going away": the
// music played through them at the last look, on the output still watched, and they are out.
static BOOL headphonesWentFromWatched(const ModelState &m)
{
    return m.watched == MODEL_SPEAKERS && m.heardThroughJack && !m.headphonesInJack;
}

static BOOL watchedOutputGone(const ModelState &m)
{
    return m.watched != MODEL_NOWHERE && (!m.outputIn[m.watched] || headphonesWentFromWatched(m));
}

static BOOL outputWentAway(ModelState &m, BOOL playing)
{
    if (!m.isDeviceLost || !hasOutputs(m) || (!playing && m.pausedByPlugin != MODEL_OWN_PAUSE))
        m.watched = MODEL_NOWHERE;
    if (!m.isDeviceLost || !hasOutputs(m) || !playing)
        return FALSE;
    if (m.watched != MODEL_NOWHERE && !m.outputIn[m.watched]) {
        m.watched = MODEL_NOWHERE;
        return TRUE;
    }
    LONG before = m.watched;
    LONG found = m.watchedFromSession && m.watched != MODEL_NOWHERE && sessionActiveOn(m, m.watched) ? m.watched
                                                                                                   : MODEL_NOWHERE;
    for (LONG device = 0; device < MODEL_OUTPUTS && found == MODEL_NOWHERE; ++device) {
        if (sessionActiveOn(m, device))
            found = device;
    }
    m.watchedFromSession = found != MODEL_NOWHERE;
    m.watched = found != MODEL_NOWHERE ? found : m.defaultOutput;
    BOOL pulled = m.watched == before && headphonesWentFromWatched(m);
    m.heardThroughJack = m.watched == MODEL_SPEAKERS && m.headphonesInJack;
    if (pulled)
        m.watched = MODEL_NOWHERE;
    return pulled;
}

// --- the decision --------------------------------------------------------------------------

static BOOL holdsNow(ModelState &m)
{
    BOOL holds = m.isScreenSave && m.saver;
    if (m.isLock && (sleepHolds(m) || lockedNow(m)))
        holds = TRUE;
    if (m.isCall && m.callHolds)
        holds = TRUE;
    return holds || (m.isMute && mutedNow(m));
}

static void toggle(ModelState &m)
{
    m.playState = m.playState == PLAY_STATE_PLAYING ? PLAY_STATE_PAUSED : PLAY_STATE_PLAYING;
    ++m.pluginToggles;
}

// One look: "pause while ..., and resume the playback it paused once the condition ends. A
// pause you made yourself is never resumed"; the output that went away during a pause of its
// own is "not resumed into, and the music stays paused for you".
static void look(ModelState &m)
{
    // "it waits 1 s for one before it resumes": the second is over whatever the player does.
    if (m.sleepHold == MODEL_WAKING && wakeWaitDueIn(m) == 0)
        m.sleepHold = MODEL_AWAKE;
    BOOL playing = m.playState == PLAY_STATE_PLAYING;
    if (m.isCall && listsSessions(m)) {
        followCalls(m);
    } else {
        ZeroMemory(m.programs, sizeof m.programs);
        m.callHolds = m.sawPlaying = m.ignoreListChanged = FALSE;
    }
    if (outputWentAway(m, playing)) {
        // A hold you played over stays yours through this pause: "a start of yours during a
        // hold pauses nothing more until every condition has ended".
        toggle(m);
    } else if (m.pausedByPlugin || playing) {
        BOOL holds = holdsNow(m);
        if (holds && !m.pausedByPlugin) {
            m.pausedByPlugin = MODEL_OWN_PAUSE;
            toggle(m);
        } else if (!holds && m.pausedByPlugin) {
            // "A pause you made yourself is never resumed by it": once you played over the hold,
            // every pause is yours.
            BOOL own = m.pausedByPlugin == MODEL_OWN_PAUSE;
            m.pausedByPlugin = MODEL_NO_PAUSE;
            if (m.isDeviceLost && watchedOutputGone(m))
                m.watched = MODEL_NOWHERE;
            else if (own && m.playState == PLAY_STATE_PAUSED) {
                toggle(m);
                m.sawPlaying = TRUE;  // its own resume is no start of the user's
                // The music plays through what is in the jack now, which the resume looked at.
                m.heardThroughJack = m.isDeviceLost && m.watched == MODEL_SPEAKERS && m.headphonesInJack;
            }
        }
    }
    // "a session service not yet running at logon: then it keeps trying to register, at every look"
    if (!m.noSessionLibrary && !m.noticesHold && !m.retryQueued) {
        enqueue(m, QUEUED_RETRY, 0);
        m.retryQueued = TRUE;
    }
}

// --- the user ------------------------------------------------------------------------------

static BOOL startsPlayback(const ModelState &m, LONG command)
{
    return command == CMD_PREVIOUS || command == CMD_PLAY || command == CMD_NEXT ||
           (command == CMD_PAUSE && m.playState == PLAY_STATE_PAUSED);
}

// "When you press play (or previous, next, or pause to resume) while the sound is muted, it
// releases the mute first"; a start of the user's during a pause of the plug-in's makes the
// music the user's, on whatever output it now plays, and every pause after it the user's.
static void command(ModelState &m, LONG id)
{
    if (startsPlayback(m, id) && m.pausedByPlugin) {
        m.watched = MODEL_NOWHERE;
        m.pausedByPlugin = MODEL_PLAYED_OVER;
    }
    // The speakers cannot be read or released while the audio service is away.
    BOOL speakersMayBeMuted = !m.audioAway && (modelSpeakersMuted(m) || (m.muteUnreadable && hasOutputs(m) &&
                                                                         m.defaultOutput != MODEL_NOWHERE));
    BOOL mayBeMuted = (m.mixerPresent && m.mixerMuted) || speakersMayBeMuted;
    if (startsPlayback(m, id) && m.isMute && mayBeMuted) {
        m.mixerMuted = FALSE;
        if (hasOutputs(m) && m.defaultOutput != MODEL_NOWHERE && !m.audioAway)
            m.outputMuted[m.defaultOutput] = FALSE;
        if (!holdsNow(m))
            m.pausedByPlugin = MODEL_NO_PAUSE;
    }
    switch (id) {
    case CMD_PLAY:
        m.playState = PLAY_STATE_PLAYING;
        break;
    case CMD_PAUSE:
        if (m.playState != PLAY_STATE_STOPPED)
            m.playState = m.playState == PLAY_STATE_PLAYING ? PLAY_STATE_PAUSED : PLAY_STATE_PLAYING;
        break;
    case CMD_STOP:
        m.playState = PLAY_STATE_STOPPED;
        break;
    case CMD_PREVIOUS:
    case CMD_NEXT:
        if (m.playState != PLAY_STATE_STOPPED)
            m.playState = PLAY_STATE_PLAYING;
        break;
    }
}

// --- the machine ---------------------------------------------------------------------------

static void moveOutput(ModelState &m, LONG device, BOOL present)
{
    m.outputIn[device] = present;
    // A device plugged in becomes the default; the default that goes hands over to what is left.
    if (present)
        m.defaultOutput = device;
    else if (m.defaultOutput == device)
        m.defaultOutput = m.outputIn[1 - device] ? 1 - device : MODEL_NOWHERE;
}

// Time passes: the loop looks at every interval and at the moments the call rule names.
static void timePasses(ModelState &m, DWORD ms)
{
    DWORD end = m.now + ms;
    for (int looks = 0; looks < 200; ++looks) {
        DWORD wait = (DWORD)m.interval;
        DWORD due = modelCallDueIn(m), wakeDue = wakeWaitDueIn(m);
        due = wakeDue < due ? wakeDue : due;
        wait = due < wait ? due : wait;
        if (end - m.now < wait)
            break;
        m.now += wait;
        look(m);
        streamFollows(m);
    }
    m.now = end;
}

// The player's sessions as its state notices tell them: where they are, and whether active.
static LONG sessionsSeen(const ModelState &m)
{
    BOOL playing = m.playState == PLAY_STATE_PLAYING;
    return (m.stream + 1) * 27 + (playing && m.stream != MODEL_NOWHERE) * 9 + (m.second + 1) * 3 +
           (playing && m.second != MODEL_NOWHERE);
}

void modelApply(ModelState &m, const Step &step)
{
    LONG v = step.value;
    LONG sessionsBefore = sessionsSeen(m);
    // What Windows announces at once wakes a look at once.
    BOOL announced = TRUE;
    switch (step.kind) {
    case STEP_POLL:
        break;
    case STEP_TIME:
        timePasses(m, (DWORD)v);
        announced = FALSE;
        break;
    case STEP_LOCK:
        if (!v)
            tellHeldLock(m);
        if (m.noticesHold && m.locked != v)
            enqueue(m, v ? QUEUED_LOCK : QUEUED_UNLOCK, 0);
        m.locked = v;
        takeMessages(m);
        break;
    case STEP_SESSION_NOTICE:
        // Windows tells a lock or an unlock only when there is one.
        if ((v == WTS_SESSION_LOCK || v == WTS_SESSION_UNLOCK) && m.locked == (v == WTS_SESSION_LOCK)) {
            announced = FALSE;
            break;
        }
        if (v == WTS_SESSION_UNLOCK)
            tellHeldLock(m);
        if (v == WTS_SESSION_LOCK || v == WTS_SESSION_UNLOCK)
            m.locked = v == WTS_SESSION_LOCK;
        if (m.noticesHold)
            enqueue(m, v == WTS_SESSION_LOCK ? QUEUED_LOCK : v == WTS_SESSION_UNLOCK ? QUEUED_UNLOCK
                       : v == WTS_CONSOLE_DISCONNECT ? QUEUED_DISCONNECT : QUEUED_CONNECT, 0);
        announced = FALSE;
        break;
    case STEP_MESSAGES:
        takeMessages(m);
        break;
    case STEP_SECURE_DESKTOP:
        m.secureDesktop = v;
        announced = FALSE;
        break;
    case STEP_SESSION_SERVICE:
        m.refusalsLeft = 0;
        announced = FALSE;
        break;
    case STEP_SUSPEND:
        // "before it sleeps: Windows waits for its answer while it pauses the player"
        m.asleep = TRUE;
        if (m.isLock) {
            m.sleepHold = MODEL_SUSPENDED;
            ++m.suspends;
        }
        // "Sign in on wake": the session locks as the machine sleeps, and says so after the wake.
        if (m.lockToldAfterWake && !m.locked)
            m.locked = m.lockNoticeHeld = TRUE;
        break;
    case STEP_WAKE:
        // "with you at it: it resumes at once when Windows says a user woke it", behind what is
        // still queued; "with nobody at it (a wake timer), the pause stays".
        m.asleep = FALSE;
        if (v && m.queued == 0) {
            userWakes(m);
        } else if (v) {
            enqueue(m, QUEUED_WAKE, m.suspends);
        } else if (m.sleepHold == MODEL_SUSPENDED) {
            m.sleepHold = MODEL_WOKE_UNATTENDED;
            m.inputSinceWake = FALSE;
        }
        break;
    case STEP_ASLEEP:
        m.now += (DWORD)v * 60000u;
        announced = FALSE;
        break;
    case STEP_INPUT:
        m.now += 1;
        m.inputSinceWake = TRUE;
        announced = FALSE;
        break;
    case STEP_SCREEN_SAVER:
        m.saver = v;
        announced = FALSE;
        break;
    case STEP_MUTE:
        m.mixerMuted = v % 2 && m.mixerPresent;
        takeMessages(m);
        // Untold, it is found at the next look.
        announced = v < 2;
        break;
    case STEP_SPEAKER_MUTE:
        if (m.defaultOutput != MODEL_NOWHERE)
            m.outputMuted[m.defaultOutput] = v;
        break;
    case STEP_MUTE_UNREADABLE:
        m.muteUnreadable = v;
        announced = FALSE;
        break;
    case STEP_OUTPUT:
        moveOutput(m, v / 2, v % 2);
        break;
    case STEP_JACK:
        if (v < 2)
            m.headphonesInJack = v;
        break;
    case STEP_DEFAULT_OUTPUT:
        if (outputThere(m, v))
            m.defaultOutput = v;
        break;
    case STEP_PLAYER_OUTPUT:
        m.playerPinned = v;
        break;
    case STEP_SECOND_SESSION:
        m.second = v;
        break;
    case STEP_CAPTURE:
        m.captureOn[v / 16] = (v % 16) - 1;
        if (m.alsoOn[v / 16] == m.captureOn[v / 16])
            m.alsoOn[v / 16] = MODEL_NOWHERE;
        break;
    case STEP_NO_CALL:
        break;
    case STEP_CROWD:
        m.captureOn[MODEL_CROWD] = v ? 0 : MODEL_NOWHERE;
        break;
    case STEP_MICROPHONE:
        m.microphoneIn[v / 4] = (v / 2) % 2;
        m.microphoneLate[v / 4] = v % 4 == 3;
        for (LONG p = 0; p <= MODEL_PROGRAMS; ++p) {
            if (m.captureOn[p] == v / 4 && !m.microphoneIn[v / 4])
                m.captureOn[p] = MODEL_NOWHERE;
            if (m.alsoOn[p] == v / 4 && !m.microphoneIn[v / 4])
                m.alsoOn[p] = MODEL_NOWHERE;
        }
        break;
    case STEP_COMMAND:
        command(m, v);
        announced = FALSE;
        break;
    case STEP_SETTINGS:
        // "a look under way finishes on the old settings, and the next sees all the new ones"
        if (v & SETTINGS_DURING_A_LOOK)
            look(m);
        m.isLock = v & 1;
        m.isScreenSave = (v >> 1) & 1;
        m.isMute = (v >> 2) & 1;
        m.interval = modelIntervals[(v >> 3) % 6];
        m.isDeviceLost = (v >> 6) & 1;
        m.isCall = (v >> 7) & 1;
        // "and again when you change the list": only a list that really changed
        m.ignoreListChanged = m.ignoreListChanged || m.ignoreList != ((v >> 8) & 15);
        m.ignoreList = (v >> 8) & 15;
        // "OK applies the values at once": it wakes the loop.
        break;
    case STEP_PROCESS_ID_REUSED: {
        // The call of the program that ended goes on being followed to its end; the new
        // program on its id is another program: met anew, its name read anew.
        LONG program = v / 16;
        if (m.programs[program].followed)
            m.programs[MODEL_ENDED + program] = m.programs[program];
        ZeroMemory(&m.programs[program], sizeof m.programs[program]);
        m.nameOf[program] = (v / 2) % 8;
        m.captureOn[program] = v % 2 ? 0 : MODEL_NOWHERE;
        m.alsoOn[program] = MODEL_NOWHERE;
        break;
    }
    case STEP_UNLISTED_SESSIONS:
    case STEP_SHARED_SESSIONS:
        // How Windows lists its sessions changes nothing the user sees.
        announced = FALSE;
        break;
    case STEP_SESSION_ENDS:
        // A capture whose session expired or was cut off has ended, like one that stopped.
        m.captureOn[v / 2] = MODEL_NOWHERE;
        break;
    case STEP_SECOND_MICROPHONE:
        m.alsoOn[v / 16] = (v % 16) - 1;
        break;
    case STEP_DEFAULT_MICROPHONE:
        break;
    case STEP_RESTART:
        // The player stays where it stands; the plug-in starts as freshly loaded.
        m.pausedByPlugin = 0;
        m.isDeviceLost = v & 1;
        m.isCall = (v >> 1) & 1;
        m.noticesHold = m.retryQueued = m.toldDisconnected = FALSE;
        m.toldLock = TOLD_UNLOCKED;
        m.sleepHold = MODEL_AWAKE;
        m.queued = 0;
        m.watched = MODEL_NOWHERE;
        ZeroMemory(m.programs, sizeof m.programs);
        m.callHolds = m.sawPlaying = m.ignoreListChanged = FALSE;
        registerForNotices(m);
        break;
    case STEP_LOCK_TOLD_LATE:
        tellHeldLock(m);
        announced = FALSE;
        break;
    case STEP_REMOTE_SESSION:
        // "a remote client goes": held like a lock until it connects again.
        if (m.noticesHold)
            enqueue(m, v ? QUEUED_CONNECT : QUEUED_DISCONNECT, 0);
        announced = FALSE;
        break;
    case STEP_CRITICAL_RESUME:
        // Nobody is said to be there: as the automatic resume alone.
        m.asleep = FALSE;
        if (m.sleepHold == MODEL_SUSPENDED) {
            m.sleepHold = MODEL_WOKE_UNATTENDED;
            m.inputSinceWake = FALSE;
        }
        break;
    case STEP_AUDIO_SERVICE:
        // Stopping, it cuts off every session it serves, which tells it at once; its return is
        // told by nothing, and seen from the next look on.
        m.audioAway = !v;
        break;
    case STEP_KIND_COUNT:
        break;
    }
    streamFollows(m);
    // "the player's output moves to another device: at once: its audio session tells it", and
    // so does the session that a start of the user's makes active.
    if (step.kind == STEP_COMMAND && sessionsSeen(m) != sessionsBefore)
        announced = TRUE;
    if (stepUnheard(step, m.audioAway))
        announced = FALSE;
    if (announced && (!m.asleep || step.kind == STEP_SUSPEND)) {
        look(m);
        streamFollows(m);
    }
}

// "every condition works again once the audio service is back, without restarting the player"
BOOL stepUnheard(const Step &step, BOOL audioServiceAway)
{
    if (step.kind == STEP_AUDIO_SERVICE)
        return step.value != 0;
    if (!audioServiceAway)
        return FALSE;
    switch (step.kind) {
    case STEP_SPEAKER_MUTE:
    case STEP_PLAYER_OUTPUT:
    case STEP_SECOND_SESSION:
    case STEP_CAPTURE:
    case STEP_NO_CALL:
    case STEP_CROWD:
    case STEP_COMMAND:
        return TRUE;
    default:
        return FALSE;
    }
}
