// Pictures of the stand-in player and of a plug-in's settings dialog, taken from the screen
// as a person would see them; used by the README's screenshot script.
#pragma once
#include <windows.h>

#include "plugin_loader.h"

// Writes stand_in_player.bmp and settings_dialog.bmp into the folder.
BOOL takeScreenshots(PluginSet &plugins, const char *folder, void (*say)(const char *line));
