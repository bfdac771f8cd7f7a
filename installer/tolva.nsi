; Tolva setup: places tolva.exe, tolvashell.dll and tolvastarter.dll, registers both
; libraries by their own registration entry points, makes the bare name "tolva.exe"
; resolvable for ShellExecute, and installs an uninstaller that undoes all of it.
;
; Built by installer/CMakeLists.txt with:
;   makensis -DVERSION=x.y.z -DOUTFILE=... -DTOLVA_EXE=... -DTOLVASHELL_DLL=...
;            -DTOLVASTARTER_DLL=... -DREADME=... [-DTOLVASTARTER32_DLL=...] tolva.nsi
;
; Where it installs:
; - By default for the current user, without an administrator: into
;   %LOCALAPPDATA%\Programs\Tolva, the libraries registered below HKCU\Software\Classes
;   (regsvr32 /n /i:user), App Paths, Start menu and uninstall entry the user's own.
; - With /ALLUSERS for every user of the machine (asks for an administrator): into
;   Program Files\Tolva, registered machine-wide (HKLM\Software\Classes), and the folder
;   gets the ACL of Program Files wherever /D= puts it: a folder that users can write to
;   would let any of them replace a DLL that every Explorer loads.
; Inside a Wine prefix a per-user setup registers machine-wide as well: Wine finds no
; per-user classes and reads App Paths from HKLM only, and a prefix is one user's anyway.
; The program keeps its task list and log beside itself when it may write there, and in
; %LOCALAPPDATA%\Tolva otherwise; setup creates neither.

Unicode true
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel user
SetCompressor /SOLID lzma

!ifndef VERSION
  !error "VERSION is not defined"
!endif
!ifndef OUTFILE | TOLVA_EXE | TOLVASHELL_DLL | TOLVASTARTER_DLL | README
  !error "pass OUTFILE, TOLVA_EXE, TOLVASHELL_DLL, TOLVASTARTER_DLL and README with -D"
!endif

!define PRODUCT "Tolva"
!define PUBLISHER "Tolva"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tolva"
!define APP_PATHS_KEY "Software\Microsoft\Windows\CurrentVersion\App Paths\tolva.exe"
; The running program holds this named area open; its main window has this title.
!define HANDOFF_AREA "{5F474820-9FE0-48df-AD98-224EF79F41B1}"
!define MAIN_TITLE "Tolva - your intranet downloader"
!define RUNNING_TEXT "Tolva is running. Close it and try again."
!define NEEDS_ADMIN_TEXT "Setup for all users (/ALLUSERS) needs an administrator. Run it as administrator, or without /ALLUSERS to set Tolva up for yourself."

; Exit codes that scripts calling setup or the uninstaller can tell apart.
!define EXIT_RUNNING 3
!define EXIT_REGISTER_FAILED 4
!define EXIT_NEEDS_ADMIN 5
!define EXIT_PROTECT_FAILED 6

Name "${PRODUCT}"
OutFile "${OUTFILE}"
; No InstallDir: .onInit picks the folder for the scope unless /D= gave one.
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey "LegalCopyright" "${PUBLISHER}"

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Pushes 1 when a Tolva instance runs in this session, else 0.
!macro DEFINE_IS_RUNNING un
Function ${un}IsRunning
  Push $0
  System::Call 'kernel32::OpenFileMappingW(i 4, i 0, w "${HANDOFF_AREA}") p .r0'
  ${If} $0 P<> 0
    System::Call 'kernel32::CloseHandle(p r0)'
    StrCpy $0 1
  ${Else}
    ; Also catch a program that has its window but not (or no longer) its area.
    System::Call 'user32::FindWindowW(p 0, w "${MAIN_TITLE}") p .r0'
    ${If} $0 P<> 0
      StrCpy $0 1
    ${Else}
      StrCpy $0 0
    ${EndIf}
  ${EndIf}
  Exch $0
FunctionEnd
!macroend
!insertmacro DEFINE_IS_RUNNING ""
!insertmacro DEFINE_IS_RUNNING "un."

; Refuses to go on while the program runs: its files are in use and it rewrites its task
; list at any moment. Silent runs end with EXIT_RUNNING instead of a message box.
!macro REFUSE_WHILE_RUNNING un
  Call ${un}IsRunning
  Pop $0
  ${If} $0 = 1
    MessageBox MB_OK|MB_ICONEXCLAMATION "${RUNNING_TEXT}" /SD IDOK
    SetErrorLevel ${EXIT_RUNNING}
    Quit
  ${EndIf}
!macroend

; Puts a new copy of a file in place even while a process (Explorer, a script host) has the
; old one loaded: a loaded DLL cannot be overwritten or deleted, but it can be renamed.
!macro PLACE_FILE source name
  ${If} ${FileExists} "$INSTDIR\${name}"
    ClearErrors
    Delete "$INSTDIR\${name}"
    ${If} ${Errors}
      Delete "$INSTDIR\${name}.old"
      Rename "$INSTDIR\${name}" "$INSTDIR\${name}.old"
      Delete /REBOOTOK "$INSTDIR\${name}.old"
    ${EndIf}
  ${EndIf}
  File "/oname=${name}" "${source}"
!macroend

; 1 for a setup for every user of the machine, 0 for the current user's own.
Var AllUsers
; 1 inside a Wine prefix.
Var InWine

; Reads the scope from the command line (/ALLUSERS) and whether this is a Wine prefix.
!macro READ_SCOPE
  StrCpy $AllUsers 0
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/ALLUSERS" $R1
  ${IfNot} ${Errors}
    StrCpy $AllUsers 1
  ${EndIf}
  StrCpy $InWine 0
  ClearErrors
  EnumRegKey $R1 HKLM "Software\Wine" 0
  ${IfNot} ${Errors}
    StrCpy $InWine 1
  ${EndIf}
!macroend

; Runs this program again as an administrator (the system asks the user) with the same
; command line, waits for it and ends with its exit code. Ends with EXIT_NEEDS_ADMIN when
; the user declines or the run that was started elevated is still not an administrator.
!macro DEFINE_RELAUNCH_ELEVATED un
Function ${un}RelaunchElevated
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/ELEVATED" $R1
  ${If} ${Errors}
    ; In front, because /D= has to stay last.
    StrCpy $R2 "/ELEVATED $R0"
    ; SHELLEXECUTEINFOW as on 64-bit Windows, padding spelt out; mask NOCLOSEPROCESS|NOASYNC.
    System::Call '*(i 112, i 0x140, p $HWNDPARENT, w "runas", w "$EXEPATH", w R2, p 0, i 1, i 0, p 0, p 0, p 0, p 0, i 0, i 0, p 0, p 0) p .r1'
    System::Call 'shell32::ShellExecuteExW(p r1) i .r0'
    ${If} $0 <> 0
      System::Call '*$1(i, i, p, p, p, p, p, i, i, p, p, p, p, i, i, p, p .r3)'
      System::Free $1
      StrCpy $4 ${EXIT_NEEDS_ADMIN}
      ${If} $3 P<> 0
        System::Call 'kernel32::WaitForSingleObject(p r3, i -1)'
        System::Call 'kernel32::GetExitCodeProcess(p r3, *i .r4)'
        System::Call 'kernel32::CloseHandle(p r3)'
      ${EndIf}
      SetErrorLevel $4
      Quit
    ${EndIf}
    System::Free $1
  ${EndIf}
  MessageBox MB_OK|MB_ICONSTOP "${NEEDS_ADMIN_TEXT}" /SD IDOK
  SetErrorLevel ${EXIT_NEEDS_ADMIN}
  Quit
FunctionEnd
!macroend
!insertmacro DEFINE_RELAUNCH_ELEVATED ""
!insertmacro DEFINE_RELAUNCH_ELEVATED "un."

!macro NEED_ADMIN un
  System::Call 'shell32::IsUserAnAdmin() i .r0'
  ${If} $0 = 0
    Call ${un}RelaunchElevated
  ${EndIf}
!macroend

; Tells that a library could not be registered (exit code in $0) and ends setup.
!macro REGISTER_FAILED name
  MessageBox MB_OK|MB_ICONSTOP "Could not register ${name} (regsvr32 exit code $0).$\r$\n$\r$\nThe Explorer menu entries and the automation object will not work. Run setup again, or remove Tolva with its uninstaller." /SD IDOK
  SetErrorLevel ${EXIT_REGISTER_FAILED}
  Abort "Could not register ${name}."
!macroend

; Runs a regsvr32 in its own process, so that a library that crashes while registering
; cannot take setup down with it.
!macro REGISTER_LIBRARY regsvr32 options name
  DetailPrint "Registering ${name} ${options}"
  ExecWait '"${regsvr32}" /s ${options} "$INSTDIR\${name}"' $0
  ${If} $0 != 0
    !insertmacro REGISTER_FAILED "${name}"
  ${EndIf}
!macroend

!macro UNREGISTER_LIBRARY regsvr32 options name
  ${If} ${FileExists} "$INSTDIR\${name}"
    DetailPrint "Unregistering ${name} ${options}"
    ClearErrors
    ExecWait '"${regsvr32}" /s /u ${options} "$INSTDIR\${name}"' $0
    ${If} ${Errors}
      DetailPrint "${regsvr32} could not be started: ${name} was not unregistered"
    ${ElseIf} $0 != 0
      DetailPrint "regsvr32 /u ${options} ${name} ended with exit code $0"
    ${EndIf}
  ${EndIf}
!macroend

; A library still loaded by Explorer goes at the next restart.
!macro REMOVE_LIBRARY name
  Delete /REBOOTOK "$INSTDIR\${name}"
  Delete /REBOOTOK "$INSTDIR\${name}.old"
!macroend

!define REGSVR32 "$SYSDIR\regsvr32.exe"
; The 32-bit one, for the 32-bit starter that 32-bit script hosts load.
!define REGSVR32_32 "$WINDIR\SysWOW64\regsvr32.exe"
!define NO_32BIT_TEXT "32-bit programs cannot run on this machine"

; The 32-bit starter, for 32-bit script hosts, through the 32-bit regsvr32. Some machines
; run no 32-bit programs at all (no SysWOW64, or under Wine a kernel without 32-bit
; support, where the program cannot be started): no 32-bit host can exist there, so the
; library stays in place unregistered and setup goes on.
!macro REGISTER_LIBRARY32 options name
  ${If} ${FileExists} "${REGSVR32_32}"
    DetailPrint "Registering ${name} ${options}"
    ClearErrors
    ExecWait '"${REGSVR32_32}" /s ${options} "$INSTDIR\${name}"' $0
    ${If} ${Errors}
      DetailPrint "${NO_32BIT_TEXT} (the 32-bit regsvr32 could not be started): ${name} is not registered"
    ${ElseIf} $0 != 0
      !insertmacro REGISTER_FAILED "${name}"
    ${EndIf}
  ${Else}
    DetailPrint "${NO_32BIT_TEXT} (no 32-bit regsvr32): ${name} is not registered"
  ${EndIf}
!macroend

!define USER_SCOPE "/n /i:user"
!define SHELL_CLSID "{603C8761-BC91-4E97-8862-77B8204317FA}"
!define STARTER_CLSID "{C998F1AA-C1F7-4562-97B4-12087D1EA397}"

; All three libraries for the whole machine.
!macro REGISTER_FOR_MACHINE
  !insertmacro REGISTER_LIBRARY "${REGSVR32}" "" "tolvashell.dll"
  !insertmacro REGISTER_LIBRARY "${REGSVR32}" "" "tolvastarter.dll"
  !ifdef TOLVASTARTER32_DLL
    !insertmacro REGISTER_LIBRARY32 "" "x86\tolvastarter.dll"
  !endif
!macroend

; Gives the program folder the ACL of Program Files: administrators and SYSTEM change it,
; users only read and run it. Nothing from the parent folder or from an earlier owner
; stays, whatever folder /D= named.
Function ProtectFolder
  nsExec::ExecToLog '"$SYSDIR\icacls.exe" "$INSTDIR" /reset /T /C /Q'
  Pop $0
  nsExec::ExecToLog '"$SYSDIR\icacls.exe" "$INSTDIR" /setowner *S-1-5-32-544 /T /C /Q'
  Pop $0
  ${If} $0 != 0
    DetailPrint "Could not give $INSTDIR to the administrators (icacls: $0)."
  ${EndIf}
  nsExec::ExecToLog '"$SYSDIR\icacls.exe" "$INSTDIR" /inheritance:r /grant:r *S-1-5-32-544:(OI)(CI)F *S-1-5-18:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX'
  Pop $0
  ${If} $0 != 0
    MessageBox MB_OK|MB_ICONSTOP "Could not protect $INSTDIR from changes by users (icacls: $0)." /SD IDOK
    SetErrorLevel ${EXIT_PROTECT_FAILED}
    Abort "Could not protect $INSTDIR."
  ${EndIf}
FunctionEnd

Function .onInit
  !insertmacro READ_SCOPE
  ${If} $AllUsers = 1
    !insertmacro NEED_ADMIN ""
    SetShellVarContext all
  ${Else}
    SetShellVarContext current
  ${EndIf}
  ; Without /D= an upgrade goes where the same scope's install is, else to the default.
  ${If} $INSTDIR == ""
    ReadRegStr $INSTDIR SHCTX "${UNINST_KEY}" "InstallLocation"
  ${EndIf}
  ${If} $INSTDIR == ""
    ${If} $AllUsers = 1
      StrCpy $INSTDIR "$PROGRAMFILES64\Tolva"
    ${Else}
      StrCpy $INSTDIR "$LOCALAPPDATA\Programs\Tolva"
    ${EndIf}
  ${EndIf}
  !insertmacro REFUSE_WHILE_RUNNING ""
FunctionEnd

Section "Tolva" SecMain
  SectionIn RO
  SetOutPath "$INSTDIR"
  ; Before any file goes in, so that each one is born with the folder's ACL.
  ${If} $AllUsers = 1
    Call ProtectFolder
  ${EndIf}
  !insertmacro PLACE_FILE "${TOLVA_EXE}" "tolva.exe"
  !insertmacro PLACE_FILE "${TOLVASHELL_DLL}" "tolvashell.dll"
  !insertmacro PLACE_FILE "${TOLVASTARTER_DLL}" "tolvastarter.dll"
  !ifdef TOLVASTARTER32_DLL
    CreateDirectory "$INSTDIR\x86"
    !insertmacro PLACE_FILE "${TOLVASTARTER32_DLL}" "x86\tolvastarter.dll"
  !endif
  File "/oname=README.md" "${README}"

  ; The uninstaller and its entry come before registration, so that a setup that fails
  ; half-way can still be removed cleanly. SHCTX is HKLM for all users, else HKCU.
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr SHCTX "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr SHCTX "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINST_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr SHCTX "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\tolva.exe,0"
  WriteRegStr SHCTX "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr SHCTX "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD SHCTX "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD SHCTX "${UNINST_KEY}" "EstimatedSize" "$0"

  ; The libraries start the program by its bare name through ShellExecute, which looks
  ; the name up here (the user's entry first, then the machine's).
  WriteRegStr SHCTX "${APP_PATHS_KEY}" "" "$INSTDIR\tolva.exe"
  WriteRegStr SHCTX "${APP_PATHS_KEY}" "Path" "$INSTDIR"
  ${If} $AllUsers = 0
  ${AndIf} $InWine = 1
    WriteRegStr HKLM "${APP_PATHS_KEY}" "" "$INSTDIR\tolva.exe"
    WriteRegStr HKLM "${APP_PATHS_KEY}" "Path" "$INSTDIR"
  ${EndIf}

  CreateShortcut "$SMPROGRAMS\Tolva.lnk" "$INSTDIR\tolva.exe" "" "$INSTDIR\tolva.exe" 0 \
      SW_SHOWNORMAL "" "Download files in the background"

  ${If} $AllUsers = 1
  ${OrIf} $InWine = 1
    !insertmacro REGISTER_FOR_MACHINE
  ${EndIf}
  ${If} $AllUsers = 0
    !insertmacro REGISTER_LIBRARY "${REGSVR32}" "${USER_SCOPE}" "tolvashell.dll"
    !insertmacro REGISTER_LIBRARY "${REGSVR32}" "${USER_SCOPE}" "tolvastarter.dll"
    ; Windows keeps a 32-bit program's per-user classes apart (Wow6432Node); Wine does not,
    ; and the 32-bit library would take the 64-bit one's place there. Inside Wine the
    ; machine-wide registration above, which Wine does keep apart, serves 32-bit hosts.
    !ifdef TOLVASTARTER32_DLL
      ${If} $InWine = 0
        !insertmacro REGISTER_LIBRARY32 "${USER_SCOPE}" "x86\tolvastarter.dll"
      ${EndIf}
    !endif
  ${EndIf}
SectionEnd

Function un.onInit
  !insertmacro READ_SCOPE
  ; The uninstaller sits in the folder it removes: the machine's entry naming that folder
  ; tells an all-users install even when /ALLUSERS is not given.
  ReadRegStr $0 HKLM "${UNINST_KEY}" "InstallLocation"
  ${If} $0 != ""
  ${AndIf} $0 == $INSTDIR
    StrCpy $AllUsers 1
  ${EndIf}
  ${If} $AllUsers = 1
    !insertmacro NEED_ADMIN "un."
    SetShellVarContext all
  ${Else}
    SetShellVarContext current
  ${EndIf}
  !insertmacro REFUSE_WHILE_RUNNING "un."
FunctionEnd

; Removes a machine-wide registration that a per-user setup made inside Wine, but only
; while it still names this folder's library: an all-users install may own it now.
!macro UNREGISTER_MACHINE_COPY regsvr32 view clsid name
  SetRegView ${view}
  ReadRegStr $0 HKLM "Software\Classes\CLSID\${clsid}\InprocServer32" ""
  SetRegView 64
  ${If} $0 == "$INSTDIR\${name}"
    !insertmacro UNREGISTER_LIBRARY "${regsvr32}" "" "${name}"
  ${EndIf}
!macroend

; A key of the user's classes that our registration created and nothing else uses now:
; no subkeys and no values. The predefined HKEY_CLASSES_ROOT keeps its own.
Function un.DeleteUserClassKeyIfEmpty
  Exch $1
  Push $0
  ClearErrors
  EnumRegKey $0 HKCU "Software\Classes\$1" 0
  ${IfNot} ${Errors}
  ${AndIf} $0 == ""
    EnumRegValue $0 HKCU "Software\Classes\$1" 0
    ${If} $0 == ""
      DeleteRegKey /ifempty HKCU "Software\Classes\$1"
    ${EndIf}
  ${EndIf}
  Pop $0
  Pop $1
FunctionEnd

Section "Uninstall"
  ; Unregister while the libraries are still there to ask.
  ${If} $AllUsers = 1
    !insertmacro UNREGISTER_LIBRARY "${REGSVR32}" "" "tolvashell.dll"
    !insertmacro UNREGISTER_LIBRARY "${REGSVR32}" "" "tolvastarter.dll"
    !insertmacro UNREGISTER_LIBRARY "${REGSVR32_32}" "" "x86\tolvastarter.dll"
  ${Else}
    !insertmacro UNREGISTER_LIBRARY "${REGSVR32}" "${USER_SCOPE}" "tolvashell.dll"
    !insertmacro UNREGISTER_LIBRARY "${REGSVR32}" "${USER_SCOPE}" "tolvastarter.dll"
    ${If} $InWine = 0
      !insertmacro UNREGISTER_LIBRARY "${REGSVR32_32}" "${USER_SCOPE}" "x86\tolvastarter.dll"
    ${EndIf}
    ${If} $InWine = 1
      !insertmacro UNREGISTER_MACHINE_COPY "${REGSVR32}" 64 "${SHELL_CLSID}" "tolvashell.dll"
      !insertmacro UNREGISTER_MACHINE_COPY "${REGSVR32}" 64 "${STARTER_CLSID}" "tolvastarter.dll"
      !insertmacro UNREGISTER_MACHINE_COPY "${REGSVR32_32}" 32 "${STARTER_CLSID}" "x86\tolvastarter.dll"
    ${EndIf}
    ; The shared keys above our entries that the user's registration may have created.
    Push "*\Shellex\ContextMenuHandlers"
    Call un.DeleteUserClassKeyIfEmpty
    Push "*\Shellex"
    Call un.DeleteUserClassKeyIfEmpty
    Push "*"
    Call un.DeleteUserClassKeyIfEmpty
    Push "Directory\Shellex\ContextMenuHandlers"
    Call un.DeleteUserClassKeyIfEmpty
    Push "Directory\Shellex"
    Call un.DeleteUserClassKeyIfEmpty
    Push "Directory"
    Call un.DeleteUserClassKeyIfEmpty
    Push "CLSID"
    Call un.DeleteUserClassKeyIfEmpty
  ${EndIf}

  Delete "$SMPROGRAMS\Tolva.lnk"
  DeleteRegKey SHCTX "${APP_PATHS_KEY}"
  ${If} $AllUsers = 0
  ${AndIf} $InWine = 1
    ReadRegStr $0 HKLM "${APP_PATHS_KEY}" ""
    ${If} $0 == "$INSTDIR\tolva.exe"
      DeleteRegKey HKLM "${APP_PATHS_KEY}"
    ${EndIf}
  ${EndIf}
  DeleteRegKey SHCTX "${UNINST_KEY}"

  !insertmacro REMOVE_LIBRARY "tolvashell.dll"
  !insertmacro REMOVE_LIBRARY "tolvastarter.dll"
  !insertmacro REMOVE_LIBRARY "x86\tolvastarter.dll"
  RMDir "$INSTDIR\x86"
  Delete "$INSTDIR\tolva.exe"
  Delete "$INSTDIR\tolva.exe.old"
  Delete "$INSTDIR\README.md"
  ; The program's own files beside it; its data in %LOCALAPPDATA%\Tolva is the user's.
  Delete "$INSTDIR\tolva.info"
  Delete "$INSTDIR\tolva.info.tmp"
  Delete "$INSTDIR\tolva.info.kept"
  Delete "$INSTDIR\tolva.exe.log"
  Delete "$INSTDIR\uninstall.exe"
  ; Not recursive: anything the user put here, downloads included, stays.
  RMDir /REBOOTOK "$INSTDIR"
SectionEnd
