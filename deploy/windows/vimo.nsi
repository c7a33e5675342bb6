; The Windows installer of vimo, built by scripts/package-windows.sh (and the
; Windows build's vimo_setup target) with Debian's NSIS:
;   makensis -DSTAGE=<folder with vimo.exe and assets\> -DOUTFILE=<setup.exe> -DVERSION=<x.y> vimo.nsi
;
; A per-user install: no administrator rights, everything under the user's
; own folders and HKCU. config.json (the login identity) lives beside
; vimo.exe and is never part of the package, so an upgrade keeps it; the
; uninstaller keeps it too unless "Remove my settings" is ticked. A running
; companion is asked to end (vimo.exe --quit, which waits until it has saved
; config.json and gone) before its files are replaced or removed.
; /S installs or uninstalls silently with the defaults; uninstall.exe /S
; /REMOVESETTINGS also removes config.json.

!ifndef STAGE | OUTFILE | VERSION
  !error "define STAGE, OUTFILE and VERSION"
!endif

Unicode true
Target amd64-unicode  ; only a 64-bit installer runs where only 64-bit Windows programs do

!include MUI2.nsh
!include nsDialogs.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\vimo"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define RUN_VALUE "vimo"  ; the same value the notification icon's "Start with Windows" sets

Name "vimo"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\vimo"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
SetCompressor /SOLID lzma

!define MUI_ICON "${STAGE}\assets\vimo.ico"
!define MUI_UNICON "${STAGE}\assets\vimo.ico"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\vimo.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start vimo now"

Var Autostart          ; 1: vimo starts at log-on (the Run value is written)
Var AutostartBox
Var RemoveSettings     ; 1: the uninstaller also removes config.json
Var RemoveSettingsBox

!insertmacro MUI_PAGE_DIRECTORY
Page custom AutostartPage AutostartPageLeave
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
UninstPage custom un.SettingsPage un.SettingsPageLeave
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; End the companion running from $INSTDIR and remove its vimo.exe, which
; Windows keeps locked until a moment after the process is gone. Stops the
; installer (status 2) rather than leave an old and a new half installed.
!macro EndCompanionAndRemoveExe
  ${If} ${FileExists} "$INSTDIR\vimo.exe"
    nsExec::ExecToLog '"$INSTDIR\vimo.exe" --quit'
    Pop $0
    StrCpy $1 0
    ${Do}
      ClearErrors
      Delete "$INSTDIR\vimo.exe"
      ${IfNot} ${Errors}
        ${ExitDo}
      ${EndIf}
      IntOp $1 $1 + 1
      ${If} $1 >= 40
        SetErrorLevel 2
        Abort "vimo.exe in $INSTDIR is still running and cannot be replaced; end it and try again."
      ${EndIf}
      Sleep 250
    ${Loop}
  ${EndIf}
!macroend

Function .onInit
  ; Ticked for a new install; an upgrade keeps what the user chose before.
  StrCpy $Autostart 1
  ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
    ReadRegStr $1 HKCU "${RUN_KEY}" "${RUN_VALUE}"
    ${If} $1 == ""
      StrCpy $Autostart 0
    ${EndIf}
  ${EndIf}
FunctionEnd

Function AutostartPage
  !insertmacro MUI_HEADER_TEXT "Start with Windows" "vimo can come to your desktop each time you log in."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateCheckbox} 0 0 100% 12u "Start vimo when I log in to Windows"
  Pop $AutostartBox
  ${If} $Autostart == 1
    ${NSD_Check} $AutostartBox
  ${EndIf}
  ${NSD_CreateLabel} 0 20u 100% 24u "You can change this later in the menu of vimo's icon in the notification area."
  Pop $0
  nsDialogs::Show
FunctionEnd

Function AutostartPageLeave
  ${NSD_GetState} $AutostartBox $Autostart  ; BST_CHECKED is 1
FunctionEnd

Section "vimo"
  SetOutPath "$INSTDIR"
  !insertmacro EndCompanionAndRemoveExe
  File "${STAGE}\vimo.exe"
  RMDir /r "$INSTDIR\assets"  ; pictures an older version had and this one has not
  SetOutPath "$INSTDIR\assets"
  File /r "${STAGE}\assets\*"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\vimo.lnk" "$INSTDIR\vimo.exe" "" "$INSTDIR\assets\vimo.ico" 0
  ${If} $Autostart == 1
    WriteRegStr HKCU "${RUN_KEY}" "${RUN_VALUE}" '"$INSTDIR\vimo.exe"'
  ${Else}
    DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"
  ${EndIf}
  ; Apps & features
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "vimo"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "vimo"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\assets\vimo.ico"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0  ; KiB
SectionEnd

Function un.onInit
  ; Silent uninstalls keep the settings unless told /REMOVESETTINGS.
  StrCpy $RemoveSettings 0
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/REMOVESETTINGS" $1
  ${IfNot} ${Errors}
    StrCpy $RemoveSettings 1
  ${EndIf}
FunctionEnd

Function un.SettingsPage
  !insertmacro MUI_HEADER_TEXT "Uninstall vimo" "vimo and its pictures are removed from $INSTDIR."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 30u "Your settings (config.json, which holds the login of this installation) stay unless you tick the box below, so that installing vimo again finds you logged in."
  Pop $0
  ${NSD_CreateCheckbox} 0 36u 100% 12u "Remove my settings"
  Pop $RemoveSettingsBox
  ${If} $RemoveSettings == 1
    ${NSD_Check} $RemoveSettingsBox
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function un.SettingsPageLeave
  ${NSD_GetState} $RemoveSettingsBox $RemoveSettings
FunctionEnd

Section "Uninstall"
  !insertmacro EndCompanionAndRemoveExe
  RMDir /r "$INSTDIR\assets"
  Delete "$INSTDIR\vimo.log"
  Delete "$INSTDIR\vimo.log.1"
  Delete "$INSTDIR\vimo.lock"
  Delete "$INSTDIR\uninstall.exe"
  ${If} $RemoveSettings == 1
    Delete "$INSTDIR\config.json"
    Delete "$INSTDIR\config.json.bak"
    Delete "$INSTDIR\config.json.tmp-*"
  ${EndIf}
  RMDir "$INSTDIR"  ; only when empty: kept settings keep the folder
  Delete "$SMPROGRAMS\vimo.lnk"
  ReadRegStr $0 HKCU "${RUN_KEY}" "${RUN_VALUE}"
  ${If} $0 == '"$INSTDIR\vimo.exe"'
    DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"
  ${EndIf}
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
