; An Inno Setup script that installs the mobile-device tools and runs them as the product's
; installer does: a recipe to copy. Build it with Inno Setup 6.4 or later (on Windows, or
; on Linux under Wine):
;
;   ISCC.exe /DDIST=<folder> /DDIFX_X86=<DIFxAPI_x86.dll> /DDIFX_X64=<difxapi_x64.dll>
;            [/O<output folder>] [/F<installer name>] <path of>\mobile-device-tools.iss
;
; DIST holds x86\Tallow.exe, x86\Bracken.exe and x64\Tallow.exe, as the release archive
; does; DIFX_X86 and DIFX_X64 are the driver-install libraries that Tallow /i and /u load
; from the tool's own folder. Relative paths are taken from this file's folder. The
; installer takes Inno Setup's own switches (/VERYSILENT /SUPPRESSMSGBOXES /NORESTART
; /LOG=<file>) and /DEBUGLOG, which puts the tools' debug-log marker, debuglog.cfg,
; beside them.
;
; Each call of a tool goes into the setup log (or the uninstaller's): a line naming it,
; every line the tool printed, and its exit code in words, "FAILED: ..." for a failure.
; No failure stops the installation or the uninstallation, and none shows a message box.

#ifndef DIST
  #error Give the folder of the tools: /DDIST=<folder>
#endif
#ifndef DIFX_X86
  #error Give the i386 driver-install library: /DDIFX_X86=<DIFxAPI_x86.dll>
#endif
#ifndef DIFX_X64
  #error Give the x86-64 driver-install library: /DDIFX_X64=<difxapi_x64.dll>
#endif

[Setup]
; The product's identity. Inno Setup names the uninstall key of this installer
; "{7B1D94E2-5C3A-4F08-9D6E-2A41C8B3F705}_is1" and writes the product's folder into its
; value InstallLocation: that is where Bracken looks for the product when the product's
; own key (SOFTWARE\QNVX\marvento, InstallPath) is missing.
AppId={{7B1D94E2-5C3A-4F08-9D6E-2A41C8B3F705}
AppName=marvento
AppVersion={#GetVersionNumbersString(DIST + "\x86\Bracken.exe")}
DefaultDirName={autopf}\marvento
DisableProgramGroupPage=yes
OutputBaseFilename=mobile-device-tools-setup
WizardStyle=modern
; The tools change drivers and services: administrator rights, and no per-user mode, whose
; uninstall key would lie under HKEY_CURRENT_USER, where Bracken does not look.
PrivilegesRequired=admin
; The drivers are x86 or x64 ones; Arm64 Windows takes neither.
ArchitecturesAllowed=x86os or x64os
; No ArchitecturesInstallIn64BitMode: in 32-bit install mode, Inno Setup's default, the
; uninstall key lies in the 32-bit registry view on 64-bit Windows (under
; SOFTWARE\Wow6432Node), which is where Bracken looks there. In 64-bit install mode it
; would lie in the 64-bit view, and Bracken would not find the product through it.
; Logs for whoever debugs an installation: Setup writes "Setup Log <date> #<n>.txt" in
; the temporary folder (or the file of /LOG=<file>), the uninstaller "Uninstall Log
; <date> #<n>.txt" there when it is started from Windows' list of programs or with /LOG.
SetupLogging=yes
UninstallLogging=yes

[Files]
; ignoreversion: an upgrade puts its own tools in place even when their versions match.
; restartreplace, uninsrestartdelete: a file still in use when it is to be replaced or
; removed is replaced or removed at the next restart, which Setup then asks for, instead of
; ending the installation with an error. A 64-bit process whose program lies elsewhere but
; which has loaded x64\difxapi_x64.dll is out of the reach of Bracken, a 32-bit program,
; and Restart Manager may fail to close it too.
Source: "{#DIST}\x86\Tallow.exe"; DestDir: "{app}\x86"; Flags: ignoreversion restartreplace uninsrestartdelete
Source: "{#DIST}\x86\Bracken.exe"; DestDir: "{app}\x86"; Flags: ignoreversion restartreplace uninsrestartdelete
Source: "{#DIFX_X86}"; DestDir: "{app}\x86"; DestName: "DIFxAPI_x86.dll"; Flags: ignoreversion restartreplace uninsrestartdelete
Source: "{#DIST}\x64\Tallow.exe"; DestDir: "{app}\x64"; Flags: ignoreversion restartreplace uninsrestartdelete
; Keep this entry the last one: its AfterInstall runs the tools once every file is in place.
Source: "{#DIFX_X64}"; DestDir: "{app}\x64"; DestName: "difxapi_x64.dll"; Flags: ignoreversion restartreplace uninsrestartdelete; \
  AfterInstall: RunToolsInstalled

[UninstallDelete]
; The markers that /DEBUGLOG writes; the tools' debug logs (log\ beside them) are left for
; whoever asked for them.
Type: files; Name: "{app}\x86\debuglog.cfg"
Type: files; Name: "{app}\x64\debuglog.cfg"

[Code]
const
  RestartLine = 'A restart is required to finish the driver update.';

var
  RestartAsked: Boolean; // a tool said that a restart finishes its work

// The driver tool's build that suits this Windows: Windows refuses driver installation
// from a 32-bit process on 64-bit Windows (ERROR_IN_WOW64), so there the x64 build must
// run, on 32-bit Windows the i386 one. (Setup itself is a 32-bit program.)
function Tallow(): String;
begin
  if IsX64OS then
    Result := 'x64\Tallow.exe'
  else
    Result := 'x86\Tallow.exe';
end;

// Whether the output holds a line that contains Text.
function Printed(const Lines: TArrayOfString; const Text: String): Boolean;
var
  I: Integer;
begin
  Result := False;
  for I := 0 to GetArrayLength(Lines) - 1 do
    if Pos(Text, Lines[I]) > 0 then
      Result := True;
end;

// A tool's exit code in words; a failure starts with "FAILED:". Only the driver tool's
// codes carry a result: the service tool always ends with 0.
function Words(const Switch: String; Code: Integer; const Lines: TArrayOfString): String;
begin
  if Switch = '/i' then
    case Code of
      1: Result := 'driver packages installed';
      2: Result := 'driver packages already in the driver store';
      4: Result := 'FAILED: the USB driver''s INF file is missing';
      0: Result := 'FAILED: the driver-install library cannot be used';
      126: Result := 'FAILED: a system library cannot be loaded; nothing was done';
    else
      Result := 'FAILED: the driver-install library''s error code';
    end
  else if Switch = '/u' then
    case Code of
      1: Result := 'driver packages removed';
      0: Result := 'nothing removed: no package in the driver store, or the driver-install library cannot be used';
      4: Result := 'FAILED: the USB driver''s INF file is missing';
      183: Result := 'FAILED: a package is in the driver store, but its path there cannot be looked up';
    else
      Result := 'FAILED: the driver-install library''s error code';
    end
  else if Switch = '/qu' then
    case Code of
      1: Result := 'every connected device uses the right driver, or none is connected';
      3: Result := 'a connected device uses another driver, or its driver does not run';
      4: Result := 'the USB driver''s INF file cannot be opened';
      5: Result := 'the USB driver''s INF file lacks its model section';
      126: Result := 'FAILED: a system library cannot be loaded; nothing was done';
    else
      Result := 'unexpected exit code';
    end
  else if Code = 0 then
    Result := 'done (the service tool always ends with 0; its lines say what happened)'
  else
    Result := 'unexpected exit code';
  // The packages are in the store, but a device's driver was not updated.
  if (Switch = '/i') and ((Code = 1) or (Code = 2)) and Printed(Lines, 'Driver Update failed') then
    Result := 'FAILED: the driver update of a connected device failed (' + Result + ')';
end;

// Runs "<Folder>\<Exe> <Switch>" and logs the call, the tool's lines and its exit code in
// words. Failures are logged, never fatal: an installer must not stop halfway.
procedure RunTool(const Folder, Exe, Switch: String);
var
  Code, I: Integer;
  Output: TExecOutput;
begin
  Log(Exe + ' ' + Switch + ' (' + Folder + '\' + Exe + ')');
  try
    if not ExecAndCaptureOutput(Folder + '\' + Exe, Switch, '', SW_SHOWNORMAL, ewWaitUntilTerminated, Code, Output) then
    begin
      Log(Format('%s %s: FAILED: the tool could not be started (%d: %s)', [Exe, Switch, Code, SysErrorMessage(Code)]));
      Exit;
    end;
  except
    Log(Exe + ' ' + Switch + ': FAILED: the tool''s output could not be read: ' + GetExceptionMessage);
    Exit;
  end;
  for I := 0 to GetArrayLength(Output.StdOut) - 1 do
    Log('  ' + Output.StdOut[I]);
  for I := 0 to GetArrayLength(Output.StdErr) - 1 do
    Log('  ' + Output.StdErr[I]);
  Log(Format('%s %s exit code %d: %s', [Exe, Switch, Code, Words(Switch, Code, Output.StdOut)]));
  if Printed(Output.StdOut, RestartLine) then
  begin
    RestartAsked := True;
    Log(Exe + ' ' + Switch + ' asks for a restart: it is asked for at the end');
  end;
end;

function DebugLogAsked(): Boolean;
var
  I: Integer;
begin
  Result := False;
  for I := 1 to ParamCount do
    if CompareText(ParamStr(I), '/DEBUGLOG') = 0 then
      Result := True;
end;

// Before any file is replaced: Bracken /stopsvc ends the processes that use the device
// software or the product and stops the services, so that nothing holds the files when
// Inno Setup's own check for files in use (Restart Manager, CloseApplications) runs after
// this function. On an upgrade the tool that runs is this installer's, taken out into the
// temporary folder, not whatever the previous version left in the product's folder. (Its
// debug log would be removed with that folder: its lines are in the setup log.)
function PrepareToInstall(var NeedsRestart: Boolean): String;
begin
  try
    ExtractTemporaryFile('Bracken.exe');
    RunTool(ExpandConstant('{tmp}'), 'Bracken.exe', '/stopsvc');
  except
    Log('Bracken.exe /stopsvc: FAILED: the tool could not be taken out of the installer: ' + GetExceptionMessage);
  end;
  Result := '';
end;

// Once the files are in place: the driver packages into the store and onto the devices,
// then the services registered and started, then a check (it only reads) whether the
// connected devices use the right driver. This runs after the last file, not at
// CurStepChanged(ssPostInstall): Setup asks NeedRestart before that, right after the
// files (and before it writes the uninstall key), and a restart that /i reports must
// reach it.
procedure RunToolsInstalled();
var
  App: String;
begin
  App := ExpandConstant('{app}');
  if DebugLogAsked then
  begin
    SaveStringToFile(App + '\x86\debuglog.cfg', '', False);
    SaveStringToFile(App + '\x64\debuglog.cfg', '', False);
  end;
  RunTool(App, Tallow, '/i');
  RunTool(App, 'x86\Bracken.exe', '/startsvc');
  RunTool(App, Tallow, '/qu');
end;

function NeedRestart(): Boolean;
begin
  Result := RestartAsked;
end;

// Before the files are removed (Tallow /u needs the driver-install library beside it):
// the services stopped and the processes that hold the files ended, then the driver
// packages taken out of the store.
procedure CurUninstallStepChanged(CurUninstallStep: TUninstallStep);
var
  App: String;
begin
  if CurUninstallStep <> usUninstall then
    Exit;
  App := ExpandConstant('{app}');
  RunTool(App, 'x86\Bracken.exe', '/stopsvc');
  RunTool(App, Tallow, '/u');
end;

function UninstallNeedRestart(): Boolean;
begin
  Result := RestartAsked;
end;
