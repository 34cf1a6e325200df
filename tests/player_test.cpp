// The stand-in player's side of the contract: it answers the query, acts on the pause toggle,
// routes its buttons through the window procedure chain, and loads plug-ins as the player does.
#include <objbase.h>

#include <audiopolicy.h>
#include <devicetopology.h>
#include <mmdeviceapi.h>

#include "plugin_loader.h"
#include "simulated_jacks.h"
#include "simulated_sessions.h"
#include "simulated_speakers.h"
#include "stand_in_session.h"
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

// What a program watching the sessions hears: new sessions on either device, and the changes
// of the one session it watches.
struct SessionWatcher : IAudioSessionNotification, IAudioSessionEvents {
    LONG created, stateChanges, disconnects;
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **object) override
    {
        *object = NULL;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE OnSessionCreated(IAudioSessionControl *) override { return ++created, S_OK; }
    HRESULT STDMETHODCALLTYPE OnStateChanged(AudioSessionState) override { return ++stateChanges, S_OK; }
    HRESULT STDMETHODCALLTYPE OnSessionDisconnected(AudioSessionDisconnectReason) override { return ++disconnects, S_OK; }
    HRESULT STDMETHODCALLTYPE OnDisplayNameChanged(LPCWSTR, LPCGUID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnIconPathChanged(LPCWSTR, LPCGUID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnSimpleVolumeChanged(float, BOOL, LPCGUID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnChannelVolumeChanged(DWORD, float *, DWORD, LPCGUID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnGroupingParamChanged(LPCGUID, LPCGUID) override { return S_OK; }
};

static IAudioSessionManager2 *managerOf(IMMDeviceEnumerator *enumerator, LONG device)
{
    IMMDevice *endpoint = NULL;
    IAudioSessionManager2 *manager = NULL;
    if (SUCCEEDED(enumerator->GetDevice(speakerDeviceId(device), &endpoint))) {
        (void)endpoint->Activate(__uuidof(IAudioSessionManager2), CLSCTX_ALL, NULL, (void **)&manager);
        endpoint->Release();
    }
    return manager;
}

// The first session on the manager's device, counted as a program that lists them does.
static IAudioSessionControl *firstSession(IAudioSessionManager2 *manager)
{
    IAudioSessionEnumerator *sessions = NULL;
    IAudioSessionControl *session = NULL;
    int count = 0;
    if (SUCCEEDED(manager->GetSessionEnumerator(&sessions))) {
        if (SUCCEEDED(sessions->GetCount(&count)) && count > 0)
            (void)sessions->GetSession(0, &session);
        sessions->Release();
    }
    return session;
}

static void press(WORD command)
{
    pressPlayerButton(command);
    standInSessionFollows();
}

static void pickTheSpeakers(void)
{
    chooseDefaultDevice(SPEAKERS);
    standInSessionFollows();
}

static void plugIn(void)
{
    plugInHeadphones();
    standInSessionFollows();
}

static void unplug(void)
{
    unplugHeadphones();
    standInSessionFollows();
}

struct SessionStepRow {
    int row;
    const char *what;
    void (*act)(void);
    WORD command;
    LONG device;
    AudioSessionState state;
    LONG created, stateChanges, disconnects;  // heard so far
};

// The stand-in's output session lives on the device it plays on, as Windows shows a player's:
// active while playing, moved with the default, cut off with its device and opened again on
// the next while the music plays; a watcher hears each change as Windows would tell it.
TEST_F(StandInPlayer, ItsAudioSessionFollowsItsOutputAndIsToldAsWindowsTellsIt)
{
    static const SessionStepRow rows[] = {
        {1, "play", NULL, CMD_PLAY, HEADPHONES, AudioSessionStateActive, 1, 0, 0},
        {2, "pause", NULL, CMD_PAUSE, HEADPHONES, AudioSessionStateInactive, 1, 1, 0},
        {3, "play again", NULL, CMD_PLAY, HEADPHONES, AudioSessionStateActive, 1, 2, 0},
        {4, "the user picks the speakers", pickTheSpeakers, 0, SPEAKERS, AudioSessionStateActive, 2, 3, 0},
        {5, "headphones plugged in", plugIn, 0, HEADPHONES, AudioSessionStateActive, 3, 4, 0},
        {6, "headphones unplugged while playing", unplug, 0, SPEAKERS, AudioSessionStateActive, 4, 4, 1},
        {7, "stop", NULL, CMD_STOP, SPEAKERS, AudioSessionStateInactive, 4, 5, 1},
    };
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    plugInHeadphones();
    IMMDeviceEnumerator *enumerator = NULL;
    ASSERT_EQ(CoCreateInstance(__uuidof(MMDeviceEnumerator), NULL, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                               (void **)&enumerator),
              S_OK);
    static SessionWatcher watcher;
    watcher.created = watcher.stateChanges = watcher.disconnects = 0;
    IAudioSessionManager2 *managers[SPEAKER_DEVICE_COUNT];
    for (LONG device = 0; device < SPEAKER_DEVICE_COUNT; ++device) {
        managers[device] = managerOf(enumerator, device);
        ASSERT_NE(managers[device], (IAudioSessionManager2 *)NULL);
        EXPECT_EQ(managers[device]->RegisterSessionNotification(&watcher), S_OK);
    }
    (void)addSimulatedSession(SPEAKERS, 4, AudioSessionStateActive, FALSE);
    EXPECT_EQ(watcher.created, 0) << "a new session was told before the list was read";
    for (IAudioSessionManager2 *manager : managers) {
        IAudioSessionControl *listed = firstSession(manager);
        if (listed != NULL)
            listed->Release();
    }
    // The other program goes, as with a restart of the audio service: the lists are read anew.
    resetSimulatedSessions();
    for (IAudioSessionManager2 *manager : managers)
        EXPECT_EQ(firstSession(manager), (IAudioSessionControl *)NULL);
    IAudioSessionControl *watched = NULL;
    for (const SessionStepRow &row : rows) {
        if (row.act != NULL)
            row.act();
        else
            press(row.command);
        LONG device = standInSessionDevice();
        ASSERT_EQ(device, row.device) << "row " << row.row << ": " << row.what;
        AudioSessionState state = AudioSessionStateExpired;
        if (watched != NULL)
            (void)watched->GetState(&state);
        // A new session: watched from here on.
        if (state == AudioSessionStateExpired) {
            if (watched != NULL) {
                EXPECT_EQ(watched->UnregisterAudioSessionNotification(&watcher), S_OK);
                watched->Release();
            }
            watched = firstSession(managers[device]);
            ASSERT_NE(watched, (IAudioSessionControl *)NULL) << "row " << row.row;
            EXPECT_EQ(watched->RegisterAudioSessionNotification(&watcher), S_OK);
            (void)watched->GetState(&state);
        }
        EXPECT_EQ(state, row.state) << "row " << row.row << ": " << row.what;
        EXPECT_EQ(watcher.created, row.created) << "row " << row.row << ": " << row.what;
        EXPECT_EQ(watcher.stateChanges, row.stateChanges) << "row " << row.row << ": " << row.what;
        EXPECT_EQ(watcher.disconnects, row.disconnects) << "row " << row.row << ": " << row.what;
    }
    (void)watched->UnregisterAudioSessionNotification(&watcher);
    watched->Release();
    for (IAudioSessionManager2 *manager : managers) {
        EXPECT_EQ(manager->UnregisterSessionNotification(&watcher), S_OK);
        manager->Release();
    }
    enumerator->Release();
    CoUninitialize();
    EXPECT_EQ(simulatedSessions.creationListeners, 0);
    EXPECT_EQ(simulatedSessions.stateListeners, 0);
    EXPECT_EQ(simulatedSessions.liveObjects, 0);
    EXPECT_EQ(simulatedSpeakers.liveObjects, 0);
}

// What a program watching jacks hears: its part's control changes, and the speakers' property
// notices.
struct JackWatcher : IControlChangeNotify, IMMNotificationClient {
    LONG controlChanges, propertyChanges;
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **object) override
    {
        *object = NULL;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE OnNotify(DWORD, LPCGUID) override { return ++controlChanges, S_OK; }
    HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR id, const PROPERTYKEY) override
    {
        if (lstrcmpW(id, speakerDeviceId(SPEAKERS)) == 0)
            ++propertyChanges;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow, ERole, LPCWSTR) override { return S_OK; }
};

// The way Windows documents from an endpoint to its jacks: its topology, connector 0, the
// adapter's connector that one is connected to, and that connector's part.
static IPart *jackPartOf(IMMDeviceEnumerator *enumerator, LONG device)
{
    IMMDevice *endpoint = NULL;
    IDeviceTopology *topology = NULL;
    IConnector *endpointSide = NULL, *adapterSide = NULL;
    IPart *part = NULL;
    if (SUCCEEDED(enumerator->GetDevice(speakerDeviceId(device), &endpoint)) &&
        SUCCEEDED(endpoint->Activate(__uuidof(IDeviceTopology), CLSCTX_ALL, NULL, (void **)&topology)) &&
        SUCCEEDED(topology->GetConnector(0, &endpointSide)) && SUCCEEDED(endpointSide->GetConnectedTo(&adapterSide)))
        (void)adapterSide->QueryInterface(__uuidof(IPart), (void **)&part);
    IUnknown *taken[] = {adapterSide, endpointSide, topology, endpoint};
    for (IUnknown *object : taken) {
        if (object != NULL)
            object->Release();
    }
    return part;
}

struct JackRow {
    int row;
    BOOL merged;
    LONG device;
    UINT jack;
    UINT jacks;
    BOOL connected;  // with the headphones pulled
    DWORD capabilities;
};

struct TellingRow {
    int row;
    LONG telling;
    BOOL silent;
    LONG jack;
    LONG controlChanges, propertyChanges;
};

// Only the merged speakers' endpoint has jacks that tell their presence, and only its pulled
// headphones read as not connected; a change is told the ways its driver tells, to the part of
// that endpoint alone, and never while the platform is silent.
TEST_F(StandInPlayer, ItsMergedOutputShowsItsJacksAndTellsAPulledOneAsItsDriverDoes)
{
    static const JackRow jackRows[] = {
        {1, TRUE, SPEAKERS, JACK_INTERNAL_SPEAKERS, 3, TRUE, 1},   {2, TRUE, SPEAKERS, JACK_HEADPHONES, 3, FALSE, 1},
        {3, TRUE, SPEAKERS, JACK_WITHOUT_PRESENCE_DETECT, 3, FALSE, 0}, {4, TRUE, HEADPHONES, 0, 1, TRUE, 0},
        {5, TRUE, MICROPHONE, 0, 1, TRUE, 0},                      {6, FALSE, SPEAKERS, 0, 1, TRUE, 0},
    };
    static const TellingRow tellingRows[] = {
        {1, JACK_TELLS_BOTH, FALSE, JACK_HEADPHONES, 1, 1},    {2, JACK_TELLS_CONTROL, FALSE, JACK_HEADPHONES, 1, 0},
        {3, JACK_TELLS_PROPERTY, FALSE, JACK_HEADPHONES, 0, 1}, {4, JACK_TELLS_NOTHING, FALSE, JACK_HEADPHONES, 0, 0},
        {5, JACK_TELLS_BOTH, TRUE, JACK_HEADPHONES, 0, 0},     {6, JACK_TELLS_BOTH, FALSE, JACK_WITHOUT_PRESENCE_DETECT, 1, 1},
    };
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    IMMDeviceEnumerator *enumerator = NULL;
    ASSERT_EQ(CoCreateInstance(__uuidof(MMDeviceEnumerator), NULL, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                               (void **)&enumerator),
              S_OK);
    for (const JackRow &row : jackRows) {
        mergeSpeakersAndHeadphones(row.merged);
        pullHeadphoneJack();
        setJackConnected(JACK_WITHOUT_PRESENCE_DETECT, FALSE);
        IPart *part = jackPartOf(enumerator, row.device);
        ASSERT_NE(part, (IPart *)NULL) << "row " << row.row;
        IKsJackDescription *jacks = NULL;
        IKsJackDescription2 *capabilities = NULL;
        ASSERT_EQ(part->Activate(CLSCTX_INPROC_SERVER, __uuidof(IKsJackDescription), (void **)&jacks), S_OK);
        ASSERT_EQ(part->Activate(CLSCTX_INPROC_SERVER, __uuidof(IKsJackDescription2), (void **)&capabilities), S_OK);
        UINT count = 0;
        KSJACK_DESCRIPTION description = {};
        KSJACK_DESCRIPTION2 description2 = {};
        EXPECT_EQ(jacks->GetJackCount(&count), S_OK);
        EXPECT_EQ(count, row.jacks) << "row " << row.row;
        EXPECT_EQ(jacks->GetJackDescription(row.jack, &description), S_OK) << "row " << row.row;
        EXPECT_EQ(capabilities->GetJackDescription2(row.jack, &description2), S_OK) << "row " << row.row;
        EXPECT_EQ(description.IsConnected, row.connected) << "row " << row.row;
        EXPECT_EQ(description2.JackCapabilities, row.capabilities) << "row " << row.row;
        capabilities->Release();
        jacks->Release();
        part->Release();
    }
    static JackWatcher watcher, elsewhere;
    IPart *speakers = jackPartOf(enumerator, SPEAKERS), *headphones = jackPartOf(enumerator, HEADPHONES);
    ASSERT_EQ(speakers->RegisterControlChangeCallback(__uuidof(IKsJackDescription), &watcher), S_OK);
    ASSERT_EQ(headphones->RegisterControlChangeCallback(__uuidof(IKsJackDescription), &elsewhere), S_OK);
    ASSERT_EQ(enumerator->RegisterEndpointNotificationCallback(&watcher), S_OK);
    for (const TellingRow &row : tellingRows) {
        mergeSpeakersAndHeadphones(TRUE);
        watcher.controlChanges = watcher.propertyChanges = 0;
        simulatedJacks.telling = row.telling;
        simulatedSpeakers.silent = row.silent;
        setJackConnected(row.jack, FALSE);
        simulatedSpeakers.silent = 0;
        EXPECT_EQ(watcher.controlChanges, row.controlChanges) << "row " << row.row;
        EXPECT_EQ(watcher.propertyChanges, row.propertyChanges) << "row " << row.row;
    }
    EXPECT_EQ(elsewhere.controlChanges, 0) << "another endpoint's part heard the speakers' jack";
    EXPECT_EQ(speakers->UnregisterControlChangeCallback(&watcher), S_OK);
    EXPECT_EQ(headphones->UnregisterControlChangeCallback(&elsewhere), S_OK);
    EXPECT_EQ(enumerator->UnregisterEndpointNotificationCallback(&watcher), S_OK);
    simulatedJacks.telling = JACK_TELLS_BOTH;
    watcher.controlChanges = 0;
    pullHeadphoneJack();
    EXPECT_EQ(watcher.controlChanges, 0) << "told after it was unregistered";
    speakers->Release();
    headphones->Release();
    simulatedJacks.topologyFails = 1;
    EXPECT_EQ(jackPartOf(enumerator, SPEAKERS), (IPart *)NULL);
    enumerator->Release();
    CoUninitialize();
    EXPECT_EQ(simulatedJacks.callbacks, 0);
    EXPECT_EQ(simulatedJacks.liveObjects, 0);
    EXPECT_EQ(simulatedSpeakers.liveObjects, 0);
}
