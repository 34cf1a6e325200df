// Identifiers shared by the resource script and the code.
#pragma once

#define IDD_SETTINGS 101

#define IDC_PAUSE_ON_LOCK 1001
#define IDC_PAUSE_ON_SCREENSAVER 1002
#define IDC_PAUSE_ON_MUTE 1003
#define IDC_PAUSE_ON_DEVICE_LOST 1004
#define IDC_PAUSE_ON_CALL 1005
#define IDC_CALL_IGNORE 1006
#define IDC_CALL_IGNORE_LABEL 1008
#define IDC_CHECK_INTERVAL 1007

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
