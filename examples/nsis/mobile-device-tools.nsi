; An installer that installs the mobile-device tools and runs them as a product's installer
; does: a recipe to copy. Build it (on Linux with Debian's nsis, or on Windows) with
;
;   makensis -NOCD -DDIST=<folder> -DDIFX_X86=<DIFxAPI_x86.dll> -DDIFX_X64=<difxapi_x64.dll> \
;            [-DOUTFILE=<installer.exe>] <path of>/mobile-device-tools.nsi
;
; (-NOCD: relative paths are taken from the current folder, not from this file's.) DIST
; holds x86\Tallow.exe, x86\Bracken.exe and x64\Tallow.exe, as the release archive does;
; DIFX_X86 and DIFX_X64 are the driver-install libraries that Tallow /i and /u load from
; the tool's own folder. The installer takes /S (silent) and /DEBUGLOG (installs the
; tools' debug-log marker, debuglog.cfg, beside them).
;
; Each tool's console output and its exit code, in words, go into the installer's log, a
; file beside the tools (install.log; the uninstaller's in $TEMP), and into the details
; list. nsExec::ExecToLog is not used for that: it writes lines only into the details
; window, which a silent run does not have. The tool's output is appended to the log by
; cmd.exe instead, whose exit code is the tool's.
;
; When the driver tool ends with " A restart is required to finish the driver update.",
; the installer sets its reboot flag and says so in its log, and at its end asks whether
; to restart now. A silent run does not restart: its log tells its caller.

Unicode true
!include LogicLib.nsh
!include x64.nsh
!include FileFunc.nsh
!include TextFunc.nsh

!ifndef OUTFILE
  !define OUTFILE "mobile-device-tools-setup.exe"
!endif
Name "Mobile Device Tools"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Mobile Device Tools"
; Both tools change drivers and services: they need administrator rights.
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

Var Tallow ; the driver tool's build that suits this Windows
Var Log    ; the log file

!macro Functions UN
  Function ${UN}Init
    UserInfo::GetAccountType
    Pop $0
    ${If} $0 != "admin"
      MessageBox MB_ICONSTOP "Administrator rights are required." /SD IDOK
      SetErrorLevel 740 ; ERROR_ELEVATION_REQUIRED
      Quit
    ${EndIf}
    ; Windows refuses driver installation from a 32-bit process on 64-bit Windows
    ; (ERROR_IN_WOW64): there the x64 build of the driver tool must run, on 32-bit Windows
    ; the i386 one. (The installer itself is a 32-bit program.)
    ${If} ${RunningX64}
      StrCpy $Tallow "x64\Tallow.exe"
    ${Else}
      StrCpy $Tallow "x86\Tallow.exe"
    ${EndIf}
  FunctionEnd

  ; Runs "$INSTDIR\<exe> <switch>" (pushed in that order). The tool's console output goes
  ; into the log and the details, then a line with its exit code in words. Failures are
  ; reported, never fatal: an installer must not stop halfway.
  Function ${UN}RunTool
    Exch $2 ; switch
    Exch
    Exch $1 ; executable, relative to $INSTDIR
    Push $0
    Push $3
    Push $4
    Push $5
    FileOpen $3 $Log a
    FileSeek $3 0 END $4 ; where this tool's lines will start
    FileWrite $3 "$1 $2$\r$\n"
    FileClose $3
    DetailPrint "$1 $2"
    ${If} ${FileExists} "$INSTDIR\$1"
      nsExec::Exec '"$SYSDIR\cmd.exe" /c ""$INSTDIR\$1" $2 >>"$Log" 2>&1"'
      Pop $0 ; the exit code, or "error" when cmd.exe could not be started
    ${Else}
      StrCpy $0 "error" ; cmd.exe would give its own code for a missing program
    ${EndIf}
    ; The tool's lines into the details list, noting the driver tool's restart line.
    StrCpy $5 ""
    FileOpen $3 $Log r
    FileSeek $3 $4
    FileRead $3 $4 ; the heading written above
    ${Do}
      ClearErrors
      FileRead $3 $4
      ${IfThen} ${Errors} ${|} ${ExitDo} ${|}
      ${TrimNewLines} $4 $4
      DetailPrint "  $4"
      ${IfThen} $4 == " A restart is required to finish the driver update." ${|} StrCpy $5 "restart" ${|}
    ${Loop}
    FileClose $3
    ; The exit code in words.
    ${Switch} "$2 $0"
      ${Case} "/i 1"
        StrCpy $4 "driver packages installed"
        ${Break}
      ${Case} "/i 2"
        StrCpy $4 "driver packages already in the driver store"
        ${Break}
      ${Case} "/i 4"
        StrCpy $4 "FAILED: the USB driver's INF file is missing"
        ${Break}
      ${Case} "/i 0"
        StrCpy $4 "FAILED: the driver-install library cannot be used"
        ${Break}
      ${Case} "/u 1"
        StrCpy $4 "driver packages removed"
        ${Break}
      ${Case} "/u 0"
        StrCpy $4 "nothing removed: no package in the driver store, or the driver-install library cannot be used"
        ${Break}
      ${Case} "/u 4"
        StrCpy $4 "FAILED: the USB driver's INF file is missing"
        ${Break}
      ${Case} "/u 183"
        StrCpy $4 "FAILED: a package is in the driver store, but its path there cannot be looked up"
        ${Break}
      ${Case} "/qu 1"
        StrCpy $4 "every connected device uses the right driver, or none is connected"
        ${Break}
      ${Case} "/qu 3"
        StrCpy $4 "a connected device uses another driver, or its driver does not run"
        ${Break}
      ${Case} "/qu 4"
        StrCpy $4 "the USB driver's INF file cannot be opened"
        ${Break}
      ${Case} "/qu 5"
        StrCpy $4 "the USB driver's INF file lacks its model section"
        ${Break}
      ${Case} "/stopsvc 0"
      ${Case} "/startsvc 0"
        StrCpy $4 "done (the service tool always ends with 0; its lines say what happened)"
        ${Break}
      ${Default}
        ${If} $0 == "error"
          StrCpy $4 "FAILED: the tool could not be started"
        ${ElseIf} $0 == 126
          StrCpy $4 "FAILED: a system library cannot be loaded; nothing was done"
        ${ElseIf} $2 == "/i"
        ${OrIf} $2 == "/u"
          StrCpy $4 "FAILED: the driver-install library's error code"
        ${Else}
          StrCpy $4 "unexpected exit code"
        ${EndIf}
    ${EndSwitch}
    ${If} $5 == "restart"
      SetRebootFlag true
      StrCpy $5 "$1 $2: a restart is required to finish the driver update; the reboot flag is set"
    ${EndIf}
    FileOpen $3 $Log a
    FileSeek $3 0 END
    FileWrite $3 "$1 $2 exit code $0: $4$\r$\n"
    ${IfThen} $5 != "" ${|} FileWrite $3 "$5$\r$\n" ${|}
    FileClose $3
    DetailPrint "$1 $2 exit code $0: $4"
    ${IfThen} $5 != "" ${|} DetailPrint $5 ${|}
    Pop $5
    Pop $4
    Pop $3
    Pop $0
    Pop $1
    Pop $2
  FunctionEnd

  ; At the end: when a tool asked for a restart, a visible run asks whether to restart now.
  ; A silent one answers no (NSIS never restarts on the reboot flag alone); its log says
  ; that a restart is required, for its caller.
  Function ${UN}OfferRestart
    ${If} ${RebootFlag}
      MessageBox MB_YESNO|MB_ICONQUESTION "A restart is required to finish the driver update. Restart now?" \
        /SD IDNO IDNO +2
      Reboot
    ${EndIf}
  FunctionEnd
!macroend
!insertmacro Functions ""
!insertmacro Functions "un."
Function .onInit
  Call Init
FunctionEnd
Function un.onInit
  Call un.Init
FunctionEnd
Function .onInstSuccess
  Call OfferRestart
FunctionEnd
Function un.onUninstSuccess
  Call un.OfferRestart
FunctionEnd

!macro RunTool EXE SWITCH
  Push "${EXE}"
  Push "${SWITCH}"
  !ifdef __UNINSTALL__
    Call un.RunTool
  !else
    Call RunTool
  !endif
!macroend
!define RunTool "!insertmacro RunTool"

Section "Install"
  SetOutPath "$INSTDIR\x86"
  File "${DIST}\x86\Tallow.exe"
  File "${DIST}\x86\Bracken.exe"
  File "/oname=DIFxAPI_x86.dll" "${DIFX_X86}"
  SetOutPath "$INSTDIR\x64"
  File "${DIST}\x64\Tallow.exe"
  File "/oname=difxapi_x64.dll" "${DIFX_X64}"
  ${GetOptions} $CMDLINE "/DEBUGLOG" $0
  ${IfNot} ${Errors}
    FileOpen $0 "$INSTDIR\x86\debuglog.cfg" w
    FileClose $0
    FileOpen $0 "$INSTDIR\x64\debuglog.cfg" w
    FileClose $0
  ${EndIf}
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  StrCpy $Log "$INSTDIR\install.log"
  ; Services and processes that use the devices stop before the driver packages change;
  ; the service is registered and started once the drivers are in place; the last call
  ; only reads whether the connected devices use the right driver.
  ${RunTool} "x86\Bracken.exe" "/stopsvc"
  ${RunTool} $Tallow "/i"
  ${RunTool} "x86\Bracken.exe" "/startsvc"
  ${RunTool} $Tallow "/qu"
SectionEnd

Section "Uninstall"
  StrCpy $Log "$TEMP\Mobile Device Tools uninstall.log"
  Delete $Log
  ${RunTool} "x86\Bracken.exe" "/stopsvc"
  ${RunTool} $Tallow "/u"

  Delete "$INSTDIR\x86\Tallow.exe"
  Delete "$INSTDIR\x86\Bracken.exe"
  Delete "$INSTDIR\x86\DIFxAPI_x86.dll"
  Delete "$INSTDIR\x86\debuglog.cfg"
  Delete "$INSTDIR\x64\Tallow.exe"
  Delete "$INSTDIR\x64\difxapi_x64.dll"
  Delete "$INSTDIR\x64\debuglog.cfg"
  Delete "$INSTDIR\install.log"
  Delete "$INSTDIR\Uninstall.exe"
  ; The tools' debug logs (log\ beside them) are left for whoever asked for them.
  RMDir "$INSTDIR\x86"
  RMDir "$INSTDIR\x64"
  RMDir "$INSTDIR"
SectionEnd
