; The Windows installer: finds the player's folder, puts gen_hushgate_amp.dll into its Plugins
; folder and registers an uninstaller. Built by scripts/package.sh, which defines VERSION,
; DESCRIPTION, DLL (the built plug-in) and OUTFILE.
;
; Unattended: setup.exe /S [/D=C:\path\to\player] installs; exit code 0 on success, 2 when the
; folder is refused (nothing is copied then). The uninstaller takes /S too, and keeps the
; plug-in's settings unless /REMOVESETTINGS is given. It exits 2 with nothing removed while the
; player runs, 2 with its registration kept when a file can be neither removed nor set to go at
; the next restart, and 3010 when a file in use goes only at the next restart. Its exit code
; reaches the caller only from a copy run with _?=<the Plugins folder>: otherwise NSIS hands
; over to a copy of itself and returns at once.
Unicode true
!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define PRODUCT "Hushgate"
!define PLUGIN_FILE "gen_hushgate_amp.dll"
!define UNINSTALLER "uninstall_hushgate.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Hushgate"
!define PLAYER_WINDOW_CLASS "Winamp v1.x"
!define MOVEFILE_DELAY_UNTIL_REBOOT 4
!define PLAYER_RUNNING "The player is running. Close it, then continue: a running player keeps its plug-ins open."

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
; Administrators are asked to elevate (Program Files needs it); other accounts run as
; themselves and are told when the folder cannot be written.
RequestExecutionLevel highest
SetCompressor /SOLID lzma

VIProductVersion "${VERSION}.0.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "FileDescription" "${DESCRIPTION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"

!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TEXT "This will install ${PRODUCT} ${VERSION}, a plug-in that pauses the player while the workstation is locked, the screen saver runs or the sound is muted, and resumes it afterwards.$\r$\n$\r$\nPlease close the player before you continue."
!insertmacro MUI_PAGE_WELCOME
!define MUI_DIRECTORYPAGE_TEXT_TOP "Choose the player's folder: the one that holds its Plugins folder. The plug-in goes into Plugins."
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE checkPlayerFolder
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_TEXT "${PRODUCT} is installed. Start the player; the plug-in appears as $\"Hushgate v1.0$\" among the general-purpose plug-ins in its preferences."
!insertmacro MUI_PAGE_FINISH
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE un.checkPlayerClosed
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; The player's own installer leaves its folder under the current user's key; failing that, its
; uninstall entry names the uninstaller inside the folder; failing that, the usual place.
Function findPlayerFolder
    ReadRegStr $0 HKCU "Software\Winamp" ""
    ${If} $0 != ""
    ${AndIf} ${FileExists} "$0\Plugins\*.*"
        StrCpy $INSTDIR $0
        Return
    ${EndIf}
    ReadRegStr $0 HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\Winamp" "UninstallString"
    ${If} $0 != ""
        StrCpy $1 $0 1
        ${If} $1 == '"'
            StrCpy $0 $0 "" 1
            StrCpy $0 $0 -1
        ${EndIf}
        ${GetParent} $0 $0
        ${If} ${FileExists} "$0\Plugins\*.*"
            StrCpy $INSTDIR $0
            Return
        ${EndIf}
    ${EndIf}
    StrCpy $INSTDIR "$PROGRAMFILES\Winamp"
FunctionEnd

Function .onInit
    ; /D= has already set the folder; otherwise look for the player.
    ${If} $INSTDIR == ""
        Call findPlayerFolder
    ${EndIf}
    ${If} ${Silent}
        Call checkPlayerFolder
    ${EndIf}
FunctionEnd

; Refuses a folder without Plugins, one this account cannot write to, and a running player
; (which holds the plug-in open). Interactive: says why and stays on the page; silent: exits 2.
Function checkPlayerFolder
    ${IfNot} ${FileExists} "$INSTDIR\Plugins\*.*"
        StrCpy $0 "$INSTDIR has no Plugins folder, so it is not the player's folder. Choose the folder the player is installed in."
        Goto refuse
    ${EndIf}
    ClearErrors
    FileOpen $1 "$INSTDIR\Plugins\hushgate-write-test.tmp" w
    ${If} ${Errors}
        StrCpy $0 "This account cannot write to $INSTDIR\Plugins. If the player is under Program Files, run this setup as administrator (right-click it, then Run as administrator)."
        Goto refuse
    ${EndIf}
    FileClose $1
    Delete "$INSTDIR\Plugins\hushgate-write-test.tmp"
    FindWindow $1 "${PLAYER_WINDOW_CLASS}"
    ${If} $1 != 0
        StrCpy $0 "${PLAYER_RUNNING}"
        Goto refuse
    ${EndIf}
    Return
refuse:
    ${If} ${Silent}
        SetErrorLevel 2
        Quit
    ${EndIf}
    MessageBox MB_OK|MB_ICONEXCLAMATION $0
    Abort
FunctionEnd

Section "Hushgate"
    SetOutPath "$INSTDIR\Plugins"
    File "${DLL}"
    WriteUninstaller "$INSTDIR\Plugins\${UNINSTALLER}"
    ; Registered for all users where this account may, else for this user alone.
    SetRegView 32
    SetShellVarContext all
    ClearErrors
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} ${VERSION} (player plug-in)"
    ${If} ${Errors}
        SetShellVarContext current
        WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} ${VERSION} (player plug-in)"
    ${EndIf}
    ${GetSize} "$INSTDIR\Plugins" "/M=${PLUGIN_FILE} /S=0K /G=0" $0 $1 $2
    ${GetSize} "$INSTDIR\Plugins" "/M=${UNINSTALLER} /S=0K /G=0" $3 $1 $2
    IntOp $0 $0 + $3
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Plugins\${UNINSTALLER}"'
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Plugins\${UNINSTALLER}" /S'
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" $0
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Var removeSettings

Function un.onInit
    StrCpy $removeSettings 0
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/REMOVESETTINGS" $1
    ${IfNot} ${Errors}
        StrCpy $removeSettings 1
    ${EndIf}
    ${If} ${Silent}
        Call un.checkPlayerClosed
    ${EndIf}
FunctionEnd

; Refuses a running player, as setup does, before anything is removed. Interactive: says why
; and stays on the page; silent: exits 2.
Function un.checkPlayerClosed
    FindWindow $0 "${PLAYER_WINDOW_CLASS}"
    ${If} $0 == 0
        Return
    ${EndIf}
    ${If} ${Silent}
        SetErrorLevel 2
        Quit
    ${EndIf}
    MessageBox MB_OK|MB_ICONEXCLAMATION "${PLAYER_RUNNING}"
    Abort
FunctionEnd

; Removes the file named by $0, or has Windows remove it at the next restart while something
; holds it open. Only Windows' own answer counts: Delete /REBOOTOK would claim a restart even when
; the removal could not be recorded, which needs administrator rights. A file that can be neither
; removed nor set to go ends the uninstall with the registration still there, so that it can be
; run again.
Function un.removeFile
    Delete $0
    ${IfNot} ${FileExists} $0
        Return
    ${EndIf}
    System::Call 'kernel32::MoveFileExW(w r0, p 0, i ${MOVEFILE_DELAY_UNTIL_REBOOT}) i .r1'
    ${If} $1 <> 0
        SetRebootFlag true
        Return
    ${EndIf}
    ${IfNot} ${Silent}
        MessageBox MB_OK|MB_ICONSTOP "$0 could not be removed, nor set to go when Windows restarts. Close the player, then uninstall Hushgate again; if the player is under Program Files, an administrator must do it."
    ${EndIf}
    SetErrorLevel 2
    Quit
FunctionEnd

; Where the player's folder could not be written, the plug-in keeps its settings in the user's
; profile; only this account's can be reached. That file is the plug-in's alone, so once its
; section is gone and nothing else is in it, the file and then its folder go too.
Function un.removeUserSettings
    SetShellVarContext current
    StrCpy $0 "$APPDATA\Hushgate\plugin.ini"
    ${IfNot} ${FileExists} $0
        Return
    ${EndIf}
    DeleteINISec $0 "Hushgate"
    FlushINI $0
    FileOpen $1 $0 r
    FileSeek $1 0 END $2
    FileClose $1
    ${If} $2 == 0
        Delete $0
        RMDir "$APPDATA\Hushgate"
    ${EndIf}
FunctionEnd

; The uninstaller lives in Plugins, so here $INSTDIR is the Plugins folder. The registration
; goes last, once every file is gone or set to go at the next restart: while anything of the
; plug-in is left, Apps still offers to remove it.
Section "Uninstall"
    ${If} $removeSettings == 0
    ${AndIfNot} ${Silent}
        MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 "Remove Hushgate's settings too? Only its own section of plugin.ini is removed; the file and the other plug-ins' settings stay. Its settings file in your user profile, if there is one, goes too." IDNO keepSettings
        StrCpy $removeSettings 1
    keepSettings:
    ${EndIf}
    ${If} $removeSettings == 1
        DeleteINISec "$INSTDIR\plugin.ini" "Hushgate"
        FlushINI "$INSTDIR\plugin.ini"
        Call un.removeUserSettings
    ${EndIf}
    StrCpy $0 "$INSTDIR\${PLUGIN_FILE}"
    Call un.removeFile
    ; Run in place (with _?=) it cannot remove itself; whoever ran it so removes it.
    StrCpy $0 "$INSTDIR\${UNINSTALLER}"
    ${If} $0 != $EXEPATH
        Call un.removeFile
    ${EndIf}
    SetRegView 32
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
    ${If} ${RebootFlag}
        SetErrorLevel 3010
        ${IfNot} ${Silent}
            MessageBox MB_OK|MB_ICONINFORMATION "Hushgate is uninstalled, but ${PLUGIN_FILE} is still in use: it will be removed when Windows restarts."
        ${EndIf}
    ${EndIf}
SectionEnd
