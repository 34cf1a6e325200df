// Copies a window's screen area into a 24-bit BMP file.
#include "screenshot.h"

#include "conditions.h"
#include "player_window.h"

static BOOL writeBitmap(const char *path, HDC source, const RECT &area)
{
    int width = area.right - area.left;
    int height = area.bottom - area.top;
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    DWORD rowBytes = (width * 3 + 3) & ~3;
    info.biSizeImage = rowBytes * height;
    void *pixels = NULL;
    HDC memory = CreateCompatibleDC(source);
    HBITMAP bitmap = CreateDIBSection(source, (BITMAPINFO *)&info, DIB_RGB_COLORS, &pixels, NULL, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BOOL copied = BitBlt(memory, 0, 0, width, height, source, area.left, area.top, SRCCOPY);
    SelectObject(memory, previous);
    GdiFlush();

    BOOL written = FALSE;
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (copied && file != INVALID_HANDLE_VALUE) {
        BITMAPFILEHEADER header = {};
        header.bfType = 0x4D42;
        header.bfOffBits = sizeof header + sizeof info;
        header.bfSize = header.bfOffBits + info.biSizeImage;
        DWORD done;
        written = WriteFile(file, &header, sizeof header, &done, NULL) && WriteFile(file, &info, sizeof info, &done, NULL) &&
                  WriteFile(file, pixels, info.biSizeImage, &done, NULL);
    }
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    DeleteObject(bitmap);
    DeleteDC(memory);
    return written;
}

static BOOL captureWindow(HWND window, const char *path)
{
    RECT area;
    if (!GetWindowRect(window, &area))
        return FALSE;
    HDC screen = GetDC(NULL);
    BOOL written = writeBitmap(path, screen, area);
    ReleaseDC(NULL, screen);
    return written;
}

static char dialogPath[MAX_PATH];
static volatile LONG dialogCaptured;

static BOOL playerWasPausedByPlugin(void)
{
    LONG last = playerWindow.eventCount - 1;
    return last >= 0 && playerEventAt(last).fromOtherThread && playerWindow.playState == PLAY_STATE_PAUSED;
}

// Runs beside the dialog's modal loop: waits for it to paint, takes it, then cancels it.
static DWORD WINAPI captureDialogThenCancel(LPVOID)
{
    HWND dialog = NULL;
    for (int attempt = 0; attempt < 400 && dialog == NULL; ++attempt) {
        Sleep(10);
        dialog = FindWindowA((LPCSTR)WC_DIALOG, NULL);
    }
    if (dialog == NULL)
        return 0;
    Sleep(500);
    dialogCaptured = captureWindow(dialog, dialogPath);
    (void)PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    return 0;
}

BOOL takeScreenshots(PluginSet &plugins, const char *folder, void (*say)(const char *line))
{
    if (plugins.count == 0) {
        say("screenshots: no plug-in loaded");
        return FALSE;
    }
    char playerPath[MAX_PATH];
    if (!joinPath(playerPath, folder, "stand_in_player.bmp") || !joinPath(dialogPath, folder, "settings_dialog.bmp")) {
        unloadAllPlugins(plugins);
        say("screenshots: the folder's path is too long");
        return FALSE;
    }

    // A short scene worth a picture: playing, then held by the plug-in while muted.
    SetForegroundWindow(playerWindow.hwnd);
    pressPlayerButton(CMD_PLAY);
    pumpMessagesFor(700);
    (void)setUserMute(TRUE);
    (void)pumpMessagesUntil(2000, playerWasPausedByPlugin);
    pumpMessagesFor(400);
    UpdateWindow(playerWindow.hwnd);
    BOOL playerCaptured = captureWindow(playerWindow.hwnd, playerPath);
    (void)setUserMute(FALSE);

    HANDLE helper = CreateThread(NULL, 0, captureDialogThenCancel, NULL, 0, NULL);
    plugins.plugins[0].header->config();
    (void)WaitForSingleObject(helper, 5000);
    CloseHandle(helper);
    unloadAllPlugins(plugins);
    say(playerCaptured ? playerPath : "screenshots: the player could not be captured");
    say(dialogCaptured ? dialogPath : "screenshots: the dialog could not be captured");
    return playerCaptured && dialogCaptured;
}
