// The unattended demo: plays a fixed story of conditions and user presses against the
// loaded plug-ins, prints the timeline, and judges every step.
#pragma once
#include <windows.h>

#include "plugin_loader.h"

// TRUE when the plug-in did what it should at every step. Quits and unloads the plug-ins
// as its last step.
BOOL runDemoStory(PluginSet &plugins, void (*say)(const char *line));
