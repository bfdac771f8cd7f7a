; Tolva setup: places tolva.exe, tolvashell.dll and tolvastarter.dll, registers both
; libraries by their own DllRegisterServer, makes the bare name "tolva.exe" resolvable for
; ShellExecute, and installs an uninstaller that undoes all of it.
;
; Built by installer/CMakeLists.txt with:
;   makensis -DVERSION=x.y.z -DOUTFILE=... -DTOLVA_EXE=... -DTOLVASHELL_DLL=...
;            -DTOLVASTARTER_DLL=... -DREADME=... tolva.nsi
;
; Where it installs: per machine, into "Program Files\Tolva" (64-bit). Registering the two
; COM servers writes HKEY_CLASSES_ROOT, which needs an administrator anyway. The program
; keeps tolva.info and tolva.exe.log beside itself, so setup creates those two files and
; gives the user who ran setup the right to change them (only those two: a folder that
; users can write to would let any of them replace a DLL that every Explorer loads).

Unicode true
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel admin
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

; Exit codes that scripts calling setup or the uninstaller can tell apart.
!define EXIT_RUNNING 3
!define EXIT_REGISTER_FAILED 4

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Tolva"
InstallDirRegKey HKLM "${UNINST_KEY}" "InstallLocation"
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

; Runs regsvr32 (the 64-bit one, as setup itself is 64-bit) in its own process, so that a
; library that crashes while registering cannot take setup down with it.
!macro REGISTER_LIBRARY name
  DetailPrint "Registering ${name}"
  ExecWait '"$SYSDIR\regsvr32.exe" /s "$INSTDIR\${name}"' $0
  ${If} $0 != 0
    MessageBox MB_OK|MB_ICONSTOP "Could not register ${name} (regsvr32 exit code $0).$\r$\n$\r$\nThe Explorer menu entries and the automation object will not work. Run setup again, or remove Tolva with its uninstaller." /SD IDOK
    SetErrorLevel ${EXIT_REGISTER_FAILED}
    Abort "Could not register ${name}."
  ${EndIf}
!macroend

!macro UNREGISTER_LIBRARY name
  ${If} ${FileExists} "$INSTDIR\${name}"
    DetailPrint "Unregistering ${name}"
    ExecWait '"$SYSDIR\regsvr32.exe" /s /u "$INSTDIR\${name}"' $0
    ${If} $0 != 0
      DetailPrint "regsvr32 /u ${name} ended with exit code $0"
    ${EndIf}
  ${EndIf}
!macroend

; Creates one of the program's own data files if it is missing (an existing task list is
; the user's unfinished work and stays) and lets the user who runs setup change it.
Function GrantDataFile
  Exch $1 ; the file
  Push $0
  Push $2
  Push $3
  ${IfNot} ${FileExists} "$1"
    FileOpen $0 "$1" w
    FileClose $0
  ${EndIf}
  ; SAM-compatible name, DOMAIN\user, as icacls expects it.
  System::Call 'secur32::GetUserNameExW(i 2, w .r2, *i ${NSIS_MAX_STRLEN} r3) i .r0'
  ${If} $0 = 0
    System::Call 'advapi32::GetUserNameW(w .r2, *i ${NSIS_MAX_STRLEN} r3) i .r0'
  ${EndIf}
  ${If} $0 <> 0
    nsExec::ExecToLog '"$SYSDIR\icacls.exe" "$1" /grant "$2:M"'
    Pop $0
    ${If} $0 != 0
      DetailPrint "Could not let $2 change $1 (icacls: $0)."
    ${EndIf}
  ${EndIf}
  Pop $3
  Pop $2
  Pop $0
  Pop $1
FunctionEnd

Function .onInit
  SetShellVarContext all
  !insertmacro REFUSE_WHILE_RUNNING ""
FunctionEnd

Section "Tolva" SecMain
  SectionIn RO
  SetOutPath "$INSTDIR"
  !insertmacro PLACE_FILE "${TOLVA_EXE}" "tolva.exe"
  !insertmacro PLACE_FILE "${TOLVASHELL_DLL}" "tolvashell.dll"
  !insertmacro PLACE_FILE "${TOLVASTARTER_DLL}" "tolvastarter.dll"
  File "/oname=README.md" "${README}"

  Push "$INSTDIR\tolva.info"
  Call GrantDataFile
  Push "$INSTDIR\tolva.exe.log"
  Call GrantDataFile

  ; The uninstaller and its entry come before registration, so that a setup that fails
  ; half-way can still be removed cleanly.
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\tolva.exe,0"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKLM "${UNINST_KEY}" "EstimatedSize" "$0"

  ; The libraries start the program by its bare name through ShellExecute, which looks
  ; the name up here.
  WriteRegStr HKLM "${APP_PATHS_KEY}" "" "$INSTDIR\tolva.exe"
  WriteRegStr HKLM "${APP_PATHS_KEY}" "Path" "$INSTDIR"

  CreateShortcut "$SMPROGRAMS\Tolva.lnk" "$INSTDIR\tolva.exe" "" "$INSTDIR\tolva.exe" 0 \
      SW_SHOWNORMAL "" "Download files in the background"

  !insertmacro REGISTER_LIBRARY "tolvashell.dll"
  !insertmacro REGISTER_LIBRARY "tolvastarter.dll"
SectionEnd

Function un.onInit
  SetShellVarContext all
  !insertmacro REFUSE_WHILE_RUNNING "un."
FunctionEnd

Section "Uninstall"
  ; Unregister while the libraries are still there to ask.
  !insertmacro UNREGISTER_LIBRARY "tolvashell.dll"
  !insertmacro UNREGISTER_LIBRARY "tolvastarter.dll"

  Delete "$SMPROGRAMS\Tolva.lnk"
  DeleteRegKey HKLM "${APP_PATHS_KEY}"
  DeleteRegKey HKLM "${UNINST_KEY}"

  ; A library still loaded by Explorer goes at the next restart.
  Delete /REBOOTOK "$INSTDIR\tolvashell.dll"
  Delete /REBOOTOK "$INSTDIR\tolvastarter.dll"
  Delete /REBOOTOK "$INSTDIR\tolvashell.dll.old"
  Delete /REBOOTOK "$INSTDIR\tolvastarter.dll.old"
  Delete "$INSTDIR\tolva.exe"
  Delete "$INSTDIR\tolva.exe.old"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\tolva.info"
  Delete "$INSTDIR\tolva.exe.log"
  Delete "$INSTDIR\uninstall.exe"
  ; Not recursive: anything the user put here, downloads included, stays.
  RMDir /REBOOTOK "$INSTDIR"
SectionEnd
