#!/usr/bin/env bash
# Installs tolva-setup.exe silently into a fresh Wine prefix, checks what a user and the
# two libraries rely on (files, registrations, the bare program name), starts downloads
# through the automation object and the context-menu handler from another folder, checks
# that setup and uninstaller refuse while the program runs, then uninstalls silently and
# checks that nothing setup made is left.
#
# usage: installer_test.sh [--allusers] <tolva-setup.exe>
#                          ["names of the stand-ins the setup holds"] [shell_menu_invoke.exe]
# Without --allusers: the default per-user setup into %LOCALAPPDATA%\Programs\Tolva, its
# classes below HKCU\Software\Classes compared key by key with the machine-wide copy a
# Wine prefix gets.
# With --allusers: setup /ALLUSERS into a folder named by /D=, registered machine-wide,
# the folder given the ACL of Program Files.
# Both then run setup again without /D= over the installation, which has to find it and
# keep an unfinished task.
# With the harness, the installed context-menu handler is also driven as the file
# manager would, and its "Download..." must reach the running program by the bare name.
# With a stand-in for tolva.exe (the real program not built yet) no file can arrive: the
# test then ends with exit code 77, which ctest reports as skipped, never as passed.
set -uo pipefail

ALLUSERS=""
if [ "${1:-}" = "--allusers" ]; then
  ALLUSERS=1
  shift
fi
SETUP=$1
STANDINS=${2:-}
HARNESS=${3:-}
[ -f "$SETUP" ] || { echo "no setup program at $SETUP"; exit 1; }
# The program has windows: run under scripts/test, which provides a virtual display.
[ -n "${DISPLAY:-}" ] || { echo "DISPLAY is not set: run this through scripts/test"; exit 1; }

WORK=$(mktemp -d /tmp/tolva-installer-test.XXXXXX)
export WINEPREFIX=$WORK/prefix
export WINEDEBUG=-all
# Wine and its tools through the 64-bit loader, whatever this machine's kernel runs.
. "$(cd "$(dirname "$0")/.." && pwd)/scripts/wine-env"
# No winemenubuilder: it would copy the Start menu shortcut into the desktop's menus
# outside the prefix.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# The 32-bit library's registration and its 32-bit script host, where they can run.
if NO_32BIT=$(tolva_runs_wine32); then NO_32BIT=""; fi

cleanup() {
  wineserver -k >/dev/null 2>&1
  rm -rf "$WORK"
}
trap cleanup EXIT

. "$(dirname "$0")/script-support.sh"
# The 64-bit tools: a 32-bit script host cannot load our 64-bit libraries, and a 32-bit
# reg.exe sees the 32-bit registry (Wow6432Node\CLSID).
WINE64=wine
key_exists() { $WINE64 reg query "$1" >/dev/null 2>&1; }
# `reg query ARGS`, printed, for what must be there: asked twice before it counts as
# missing. reg.exe has missed what was there once: an HKCR key that the same run found a
# minute later (2026-12-10), a NoModify value that setup had just written (2026-12-11).
# The first miss is printed to stderr, so that it stays visible.
reg_query_twice() {
  local out status
  out=$($WINE64 reg query "$@" 2>&1) && { echo "$out"; return 0; }
  status=$?
  echo "      (reg query $* failed once, exit $status: ${out:0:200})" >&2
  $WINE64 reg query "$@" 2>/dev/null
}
key_present() { reg_query_twice "$1" >/dev/null; }
# Prints the data of one value; /ve for the default value.
reg_value() {
  local what=(/v "$2")
  [ "$2" = "/ve" ] && what=(/ve)
  reg_query_twice "$1" "${what[@]}" | tr -d '\r' | sed -n 's/^ *[^ ].*REG_[A-Z_]* *//p' |
    head -n 1
}
expect_value() {
  local key=$1 name=$2 want=$3 got
  got=$(reg_value "$key" "$name")
  if [ "${got,,}" = "${want,,}" ]; then
    pass "$key [$name] = $want"
  else
    fail "$key [$name] is '$got', expected '$want'"
  fi
}

# A registry subtree as sorted lines, "key" and "key: name = data", with the path below
# `strip` (a prefix of the key's path) and key names in lower case, so that the same tree
# under HKCU\Software\Classes and HKLM\Software\Classes gives the same lines.
dump_tree() {
  local key=$1 strip=$2
  $WINE64 reg query "$key" /s 2>/dev/null | tr -d '\r' | awk -v strip="$strip\\" '
    function rel(k) { return tolower(substr(k, length(strip) + 1)) }
    /^HKEY_/ { cur = rel($0); print cur; next }
    /^    / {
      line = substr($0, 5)
      n = split(line, f, /    /)
      name = (f[1] == "(Default)") ? "@" : f[1]
      data = ""
      for (i = 3; i <= n; i++) data = data (i > 3 ? "    " : "") f[i]
      print cur ": " name " = " data
    }' | LC_ALL=C sort
}

# The lines of our own classes below one hive's Software\Classes, type libraries aside.
OUR_KEYS=('Ziravadi.DownloaderExt' 'Ziravadi.DownloaderExt.1'
          'CLSID\{603C8761-BC91-4E97-8862-77B8204317FA}'
          '*\Shellex\ContextMenuHandlers\VeraviviDuruzovevo'
          'Directory\Shellex\ContextMenuHandlers\VeraviviDuruzovevo'
          'Veduravevaredav.Starter' 'Veduravevaredav.Starter.1'
          'CLSID\{C998F1AA-C1F7-4562-97B4-12087D1EA397}')
our_classes() {
  local hive=$1 k
  for k in "${OUR_KEYS[@]}"; do
    dump_tree "$hive\\Software\\Classes\\$k" "$hive\\Software\\Classes"
  done | LC_ALL=C sort
}
# Everything below HKCU\Software\Classes but the type libraries, which the system
# registers and Wine writes machine-wide even for a user.
user_classes() {
  dump_tree 'HKCU\Software\Classes' 'HKEY_CURRENT_USER\Software\Classes' |
    grep -v -E '^(typelib|interface)(\\|$)' | grep -v '^$'
}

echo "== preparing a fresh Wine prefix"
mkdir -p "$WINEPREFIX"
wineboot -i >/dev/null 2>&1 || fail "wineboot -i could not make the prefix (exit code $?)"
# The new prefix's own set-up (its class registrations among them) ends before setup
# runs: its processes gone, the server with them.
wineserver -w
wineserver -p >/dev/null 2>&1
$WINE64 cmd.exe /c exit >/dev/null 2>&1 </dev/null

# Asked up to three times: once (2026-12-11) the fresh prefix's cmd.exe printed nothing
# here, and every check after it failed for the empty folder. A miss is printed.
for try in 1 2 3; do
  LOCALAPPDATA_WIN=$($WINE64 cmd.exe /c echo %LOCALAPPDATA% </dev/null 2>/dev/null | tr -d '\r')
  LOCALAPPDATA_UNIX=$(winepath -u "$LOCALAPPDATA_WIN" 2>/dev/null)
  case "$LOCALAPPDATA_WIN" in
    [A-Za-z]:\\*) [ -n "$LOCALAPPDATA_UNIX" ] && break ;;
  esac
  echo "      (try $try: %LOCALAPPDATA% read as '$LOCALAPPDATA_WIN', '$LOCALAPPDATA_UNIX')"
  sleep 1
done
# winepath answers through dosdevices\c:, a link to drive_c; find reports drive_c.
LOCALAPPDATA_UNIX=$(realpath -m "$LOCALAPPDATA_UNIX")
if [ -n "$ALLUSERS" ]; then
  # A folder of the user's choice, with a quote in it as a real name may have.
  INSTDIR_WIN="C:\\Tools\\O'Neil\\Tolva"
  INSTDIR="$WINEPREFIX/drive_c/Tools/O'Neil/Tolva"
  HIVE=HKLM
  OTHER_HIVE=HKCU
else
  INSTDIR_WIN="$LOCALAPPDATA_WIN\\Programs\\Tolva"
  INSTDIR="$LOCALAPPDATA_UNIX/Programs/Tolva"
  HIVE=HKCU
  OTHER_HIVE=HKLM
fi
[ -n "$LOCALAPPDATA_UNIX" ] || fail "could not read %LOCALAPPDATA% of the prefix"
# The end of the program's log, beside the program or in the user's data folder.
show_program_log() {
  local log
  for log in "$INSTDIR/tolva.exe.log" "$LOCALAPPDATA_UNIX/Tolva/tolva.exe.log"; do
    [ -f "$log" ] && { echo "      $log:"; tail -n 15 "$log" | sed 's/^/        /'; }
  done
  return 0
}

SHELL_CLSID='HKCR\CLSID\{603C8761-BC91-4E97-8862-77B8204317FA}'
STARTER_CLSID='HKCR\CLSID\{C998F1AA-C1F7-4562-97B4-12087D1EA397}'
STARTER_PROGID='HKCR\Veduravevaredav.Starter'
HANDLER_KEY='HKCR\*\Shellex\ContextMenuHandlers\VeraviviDuruzovevo'
TYPELIBS=('HKCR\TypeLib\{AA3DB6C1-E127-49C5-AB4D-7CB3F2404248}'
          'HKCR\TypeLib\{91DB5158-C493-46D2-A530-6E256B97E824}')
APP_PATHS_SUB='Software\Microsoft\Windows\CurrentVersion\App Paths\tolva.exe'
UNINST_SUB='Software\Microsoft\Windows\CurrentVersion\Uninstall\Tolva'
APP_PATHS="$HIVE\\$APP_PATHS_SUB"
UNINST="$HIVE\\$UNINST_SUB"
INSTALLED_FILES=(tolva.exe tolvashell.dll tolvastarter.dll README.md uninstall.exe)
# With the 32-bit compiler the setup holds the 32-bit automation library too.
[ -n "$(ls /usr/bin/i686-w64-mingw32-g++-posix 2>/dev/null)" ] && INSTALLED_FILES+=(x86/tolvastarter.dll)
# Files the program writes beside itself; the uninstaller removes them too.
PROGRAM_FILES=(tolva.info tolva.info.tmp tolva.info.kept tolva.exe.log)

USER_CLASSES_BEFORE=$(user_classes)

if [ -n "$ALLUSERS" ]; then
  echo "== silent install for all users into $INSTDIR_WIN"
  # Wine's icacls changes nothing and prints nothing; its stub reports the command line
  # it was given on the debug channel, which is how we see what setup asked for.
  WINEDEBUG=fixme+icacls wine "$SETUP" /S /ALLUSERS "/D=$INSTDIR_WIN" </dev/null \
    >"$WORK/setup.out" 2>&1
  rc=$?
else
  echo "== silent install for the current user, default folder"
  wine "$SETUP" /S </dev/null >/dev/null 2>&1
  rc=$?
fi
[ $rc -eq 0 ] && pass "setup /S exit code 0" || fail "setup /S exit code $rc"

for f in "${INSTALLED_FILES[@]}"; do
  [ -f "$INSTDIR/$f" ] && pass "installed $f" || fail "missing $INSTDIR/$f"
done
for f in "${PROGRAM_FILES[@]}"; do
  [ -e "$INSTDIR/$f" ] && fail "setup created $f, which is the program's to write"
done

if [ -n "$ALLUSERS" ]; then
  SHORTCUT=$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/Tolva.lnk
else
  SHORTCUT=$(winepath -u "$($WINE64 cmd.exe /c echo %APPDATA% </dev/null 2>/dev/null | tr -d '\r')" \
             2>/dev/null)
  SHORTCUT="$(realpath -m "$SHORTCUT")/Microsoft/Windows/Start Menu/Programs/Tolva.lnk"
fi
check "Start menu shortcut in $(dirname "$SHORTCUT")" test -f "$SHORTCUT"
STRAY=$(find "$WINEPREFIX/drive_c" -name Tolva.lnk ! -path "$SHORTCUT" 2>/dev/null)
[ -z "$STRAY" ] || fail "shortcut in the other scope's Start menu: $STRAY"

if [ -n "$ALLUSERS" ]; then
  echo "== the program folder's ACL"
  # What setup asked icacls for, as Wine's stub reports it ("\\" doubled, quotes kept).
  CALLS=$(grep 'icacls:main stub' "$WORK/setup.out" | sed 's/\\\\/\\/g')
  echo "$CALLS" | sed 's/^/      /'
  GRANT=$(echo "$CALLS" | grep -F "\"$INSTDIR_WIN\"" | grep -F '"/inheritance:r"' | head -n 1)
  check "icacls removes the inherited entries of $INSTDIR_WIN" test -n "$GRANT"
  for ace in '*S-1-5-32-544:(OI)(CI)F' '*S-1-5-18:(OI)(CI)F' '*S-1-5-32-545:(OI)(CI)RX'; do
    check "icacls grants $ace" grep -q -F "\"$ace\"" <<<"$GRANT"
  done
  check "icacls replaces earlier grants (/grant:r)" grep -q -F '"/grant:r"' <<<"$GRANT"
  check "no other entry is granted" test "$(grep -o -F ':(OI)(CI)' <<<"$GRANT" | wc -l)" -eq 3
  # Wine's icacls shows no ACL; say so rather than pass a check that cannot fail.
  echo "      (icacls \"$INSTDIR_WIN\" under Wine prints: '$($WINE64 icacls "$INSTDIR_WIN" \
    </dev/null 2>/dev/null | tr -d '\r' | head -n 3)')"
fi

echo "== registration"
if [ -z "$NO_32BIT" ] && [ -f "$INSTDIR/x86/tolvastarter.dll" ]; then
  got=$($WINE64 reg query "$STARTER_CLSID\\InprocServer32" /ve /reg:32 2>/dev/null | tr -d '\r' |
        sed -n 's/^ *(Default) *REG_SZ *//p')
  check "the 32-bit view names x86\\tolvastarter.dll ('$got')" \
    test "${got,,}" = "${INSTDIR_WIN,,}\\x86\\tolvastarter.dll"
fi
for key in "$SHELL_CLSID" "$STARTER_PROGID" "$HANDLER_KEY"; do
  key_present "$key" && pass "registered $key" || fail "missing $key"
done
# Registration must point at the installed files, quote and all.
expect_value "$HIVE\\Software\\Classes\\CLSID\\{603C8761-BC91-4E97-8862-77B8204317FA}\\InprocServer32" \
  /ve "$INSTDIR_WIN\\tolvashell.dll"
expect_value "$HIVE\\Software\\Classes\\CLSID\\{C998F1AA-C1F7-4562-97B4-12087D1EA397}\\InprocServer32" \
  /ve "$INSTDIR_WIN\\tolvastarter.dll"
expect_value "$APP_PATHS" /ve "$INSTDIR_WIN\\tolva.exe"
expect_value "$APP_PATHS" Path "$INSTDIR_WIN"
expect_value "$UNINST" DisplayName "Tolva"
expect_value "$UNINST" DisplayVersion "1.4.0"
expect_value "$UNINST" InstallLocation "$INSTDIR_WIN"
expect_value "$UNINST" UninstallString "\"$INSTDIR_WIN\\uninstall.exe\""
expect_value "$UNINST" QuietUninstallString "\"$INSTDIR_WIN\\uninstall.exe\" /S"
for v in Publisher DisplayIcon NoModify NoRepair EstimatedSize; do
  [ -n "$(reg_value "$UNINST" $v)" ] && pass "$UNINST [$v] set" || fail "$UNINST [$v] missing"
done
key_exists "$OTHER_HIVE\\$UNINST_SUB" && fail "an uninstall entry in $OTHER_HIVE as well"

MACHINE_TREE=$(our_classes HKEY_LOCAL_MACHINE)
USER_TREE=$(our_classes HKEY_CURRENT_USER)
if [ -n "$ALLUSERS" ]; then
  key_exists "HKCU\\$APP_PATHS_SUB" && fail "an all-users setup wrote the user's App Paths"
  check "an all-users setup writes none of the user's classes" \
    test "$(user_classes)" = "$USER_CLASSES_BEFORE"
else
  # Wine finds neither per-user classes nor per-user App Paths: the per-user setup also
  # registers machine-wide there, and both copies must be the same trees.
  expect_value "HKLM\\$APP_PATHS_SUB" /ve "$INSTDIR_WIN\\tolva.exe"
  # The real libraries write 46 lines of it; a stand-in writes two keys.
  MIN_LINES=40
  [[ " $STANDINS " == *" tolvashell "* || " $STANDINS " == *" tolvastarter "* ]] && MIN_LINES=2
  check "our classes below HKCU\\Software\\Classes ($(wc -l <<<"$USER_TREE") lines)" \
    test "$(wc -l <<<"$USER_TREE")" -ge $MIN_LINES
  # Under Wine the machine-wide copy has now and then read short of its ProgID's
  # versioned key just after setup ended, and whole two seconds later: it may take that
  # long to show, and the copy it settles on is the one compared (and kept for the
  # upgrade's check).
  settled() {
    MACHINE_TREE=$(our_classes HKEY_LOCAL_MACHINE)
    [ "$USER_TREE" = "$MACHINE_TREE" ]
  }
  if settled; then
    pass "the user's classes equal the machine-wide registration key by key"
  elif FIRST_MACHINE_TREE=$MACHINE_TREE && wait_for 10 settled; then
    pass "the user's classes equal the machine-wide registration key by key (after a wait)"
    echo "      first read of the machine-wide copy, against the user's classes:"
    diff <(echo "$FIRST_MACHINE_TREE") <(echo "$USER_TREE") | sed 's/^/        /'
  else
    fail "the user's classes differ from the machine-wide registration:"
    diff <(echo "$MACHINE_TREE") <(echo "$USER_TREE") | sed 's/^/      /'
  fi
  # Nothing else below the user's classes but the shared keys above our entries.
  ADDED=$(comm -13 <(echo "$USER_CLASSES_BEFORE") <(user_classes) |
          grep -v -x -E 'clsid|\*|\*\\shellex|\*\\shellex\\contextmenuhandlers|directory|directory\\shellex|directory\\shellex\\contextmenuhandlers')
  if [ "$ADDED" = "$USER_TREE" ]; then
    pass "the user's registration wrote nothing else"
  else
    fail "the user's registration wrote more:"
    diff <(echo "$USER_TREE") <(echo "$ADDED") | sed 's/^/      /'
  fi
fi

# From a folder that is neither the program's nor the test's.
ELSEWHERE=$WORK/elsewhere
SOURCE_DIR="$WORK/share with blanks"
DOWNLOADS=$WORK/downloads
mkdir -p "$ELSEWHERE" "$SOURCE_DIR" "$DOWNLOADS"
has_standin() { [[ " $STANDINS " == *" $1 "* ]]; }
SKIPPED=""
# Three chunks and a bit, so the copy loop has to go round.
head -c 800000 /dev/urandom >"$SOURCE_DIR/payload file.bin"
arrived() { cmp -s "$SOURCE_DIR/payload file.bin" "$DOWNLOADS/payload file.bin"; }
# "Download..." of the context menu goes to the default download folder.
MENU_DOWNLOADS=$WORK/menu-downloads
mkdir -p "$MENU_DOWNLOADS"
$WINE64 reg add 'HKCU\SOFTWARE\Tolva' /v DefaultDownloadFolder /t REG_SZ \
  /d "$(winpath "$MENU_DOWNLOADS")" /f >/dev/null 2>&1
if has_standin tolvastarter; then
  echo "== starting the program by its bare name from another folder"
  # Through ShellExecute, as the libraries do: the name resolves by App Paths only.
  (cd "$ELSEWHERE" && $WINE64 start tolva.exe "\"$(winpath "$SOURCE_DIR/payload file.bin")\"" \
      "\"$(winpath "$DOWNLOADS")\"" </dev/null >/dev/null 2>&1)
else
  echo "== download through Veduravevaredav.Starter (by ProgID) from another folder"
  cat >"$WORK/start.js" <<'END'
var args = WScript.Arguments;
var starter = new ActiveXObject("Veduravevaredav.Starter");
starter.startDownload('"' + args(0) + '" "' + args(1) + '"');
END
  (cd "$ELSEWHERE" && $WINE64 cscript //nologo "$(winpath "$WORK/start.js")" \
      "$(winpath "$SOURCE_DIR/payload file.bin")" "$(winpath "$DOWNLOADS")" </dev/null)
  rc=$?
  [ $rc -eq 0 ] && pass "cscript startDownload exit code 0" || fail "cscript exit code $rc"
fi
if has_standin tolva; then
  # The stand-in writes one line to its log once it runs.
  started() { [ -s "$INSTDIR/tolva.exe.log" ]; }
  wait_for 60 started && pass "the bare name tolva.exe started the installed program" \
    || fail "tolva.exe did not start by its bare name"
  SKIPPED="the file's arrival: SKIPPED, the setup holds stand-ins for: $STANDINS"
  echo "== $SKIPPED"
else
  if wait_for 90 arrived; then
    ARRIVED=1
    pass "the file arrived in the chosen folder"
  else
    fail "payload file.bin did not arrive in $DOWNLOADS within 90 s"
    # Whether the program started at all, and what it did.
    echo "      tolva.exe processes: $(pgrep -fc 'tolva\.exe' || true)"
    show_program_log
    [ -f "$INSTDIR/tolva.exe.log" ] || [ -f "$LOCALAPPDATA_UNIX/Tolva/tolva.exe.log" ] ||
      echo "      no log: the program never ran"
  fi
fi

if [ -n "${ARRIVED:-}" ] && [ -n "$HARNESS" ] && ! has_standin tolvashell; then
  echo "== Download... from the installed context-menu handler (by CLSID)"
  head -c 300000 /dev/urandom >"$SOURCE_DIR/menu file.bin"
  (cd "$ELSEWHERE" && wine "$(winpath "$HARNESS")" "$(winpath "$SOURCE_DIR/menu file.bin")" \
      </dev/null)
  rc=$?
  [ $rc -eq 0 ] && pass "the handler took the selection and ran Download..." \
    || fail "the handler harness failed with exit code $rc"
  menu_arrived() { cmp -s "$SOURCE_DIR/menu file.bin" "$MENU_DOWNLOADS/menu file.bin"; }
  wait_for 90 menu_arrived && pass "the file chosen in the context menu arrived in the default folder" \
    || { fail "menu file.bin did not arrive in $MENU_DOWNLOADS within 90 s"
         show_program_log; }

  echo "== Download... of a folder: its whole tree"
  TREE="$SOURCE_DIR/menu folder"
  mkdir -p "$TREE/папка/глубже" "$TREE/пусто"
  head -c 70000 /dev/urandom >"$TREE/top.bin"
  head -c 90000 /dev/urandom >"$TREE/папка/глубже/deep.bin"
  (cd "$ELSEWHERE" && wine "$(winpath "$HARNESS")" "$(winpath "$TREE")" </dev/null)
  rc=$?
  [ $rc -eq 0 ] && pass "the handler took the folder and ran Download..." \
    || fail "the handler harness failed on a folder with exit code $rc"
  tree_arrived() {
    cmp -s "$TREE/top.bin" "$MENU_DOWNLOADS/menu folder/top.bin" &&
      cmp -s "$TREE/папка/глубже/deep.bin" "$MENU_DOWNLOADS/menu folder/папка/глубже/deep.bin" &&
      [ -d "$MENU_DOWNLOADS/menu folder/пусто" ]
  }
  wait_for 90 tree_arrived && pass "the folder's tree arrived whole, its empty folder too" \
    || { fail "the folder's tree did not arrive in $MENU_DOWNLOADS within 90 s"
         show_program_log; }
fi

if [ -n "$NO_32BIT" ] && [ -f "$INSTDIR/x86/tolvastarter.dll" ]; then
  echo "== the 32-bit library's registration and a 32-bit script host: not checked here,"
  echo "      ${NO_32BIT,}"
elif [ -n "${ARRIVED:-}" ] && [ -f "$INSTDIR/x86/tolvastarter.dll" ]; then
  echo "== download through Veduravevaredav.Starter from a 32-bit script host"
  head -c 200000 /dev/urandom >"$SOURCE_DIR/from x86.bin"
  X86_DOWNLOADS=$WORK/x86-downloads
  mkdir -p "$X86_DOWNLOADS"
  # Wine's cscript ends with 0 whatever the script did: only the file tells.
  (cd "$ELSEWHERE" && $WINE64 'C:\windows\syswow64\cscript.exe' //nologo \
      "$(winpath "$WORK/start.js")" "$(winpath "$SOURCE_DIR/from x86.bin")" \
      "$(winpath "$X86_DOWNLOADS")" </dev/null >/dev/null 2>&1)
  x86_arrived() { cmp -s "$SOURCE_DIR/from x86.bin" "$X86_DOWNLOADS/from x86.bin"; }
  wait_for 90 x86_arrived && pass "a 32-bit script host created the object and the file arrived" \
    || { fail "from x86.bin did not arrive through the 32-bit library within 90 s"
         show_program_log; }
fi

SETUP_ARGS=(/S)
[ -n "$ALLUSERS" ] && SETUP_ARGS+=(/ALLUSERS "/D=$INSTDIR_WIN")

echo "== uninstall and setup while the program runs"
# _?= runs the uninstaller in place, so its exit code is the one we see.
wine "$INSTDIR/uninstall.exe" /S "_?=$INSTDIR_WIN" </dev/null >/dev/null 2>&1
rc=$?
[ $rc -ne 0 ] && pass "uninstaller refused, exit code $rc" || fail "uninstaller ran while Tolva runs"
[ -f "$INSTDIR/tolva.exe" ] && key_present "$SHELL_CLSID" && pass "refusal left the installation intact" \
  || fail "refusal removed parts of the installation"

# Setup over a running program would meet files in use: it refuses as well.
wine "$SETUP" "${SETUP_ARGS[@]}" </dev/null >/dev/null 2>&1
rc=$?
[ $rc -ne 0 ] && pass "setup refused while Tolva runs, exit code $rc" \
  || fail "setup ran while Tolva runs"

# Without /F taskkill asks politely (WM_CLOSE), as a user closing the window would; it
# fails once no tolva.exe is left, which makes it the probe as well (Wine's tasklist
# lists nothing).
not_running() { ! $WINE64 taskkill /IM tolva.exe >/dev/null 2>&1 </dev/null; }
close_program() {
  echo "== closing the program"
  if ! wait_for 60 not_running; then
    fail "tolva.exe did not end when asked to close"
    # What it showed and what it did, so that the reason is in the output.
    echo "      windows on the display:"
    xdotool search --onlyvisible --name '.' getwindowname %@ 2>/dev/null | sed 's/^/        /'
    show_program_log
    echo "      where its threads stand:"
    printf 'bt all\ndetach\nquit\n' | timeout 60 $WINE64 winedbg 2>/dev/null |
      awk '/^Backtracing for thread/ { on = /tolva\.exe/ } on && !/^fixme/' | head -n 80 |
      sed 's/^/        /'
    $WINE64 taskkill /F /IM tolva.exe >/dev/null 2>&1 </dev/null
  fi
}
close_program

# Without /D=: the upgrade has to find the installation of its own scope.
UPGRADE_ARGS=(/S)
[ -n "$ALLUSERS" ] && UPGRADE_ARGS+=(/ALLUSERS)
echo "== upgrade over the installation (setup ${UPGRADE_ARGS[*]}), with an unfinished task"
head -c 600000 /dev/urandom >"$SOURCE_DIR/resume file.bin"
RESUMED=$WORK/resumed
mkdir -p "$RESUMED"
# The task list as the program leaves it when it ends during a copy.
printf '<?xml version="1.0" encoding="windows-1251"?>\n<downloader>\n\t<task name="resume file.bin" source="%s" destination="%s" state="2" />\n</downloader>' \
  "$(winpath "$SOURCE_DIR/resume file.bin")" "$(winpath "$RESUMED/resume file.bin")" \
  >"$INSTDIR/tolva.info"
cp "$INSTDIR/tolva.info" "$WORK/tolva.info.before"
wine "$SETUP" "${UPGRADE_ARGS[@]}" </dev/null >/dev/null 2>&1
rc=$?
[ $rc -eq 0 ] && pass "setup over the installation exit code 0" || fail "upgrade exit code $rc"
[ -e "$WINEPREFIX/drive_c/Program Files/Tolva" ] && [ "$INSTDIR_WIN" != 'C:\Program Files\Tolva' ] &&
  fail "the upgrade went to Program Files instead of $INSTDIR_WIN"
check "the upgrade kept tolva.info as it was" cmp -s "$WORK/tolva.info.before" "$INSTDIR/tolva.info"
for f in "${INSTALLED_FILES[@]}"; do
  [ -f "$INSTDIR/$f" ] || fail "missing $INSTDIR/$f after the upgrade"
done
check "the upgrade kept the same folder" test "$(reg_value "$UNINST" InstallLocation)" = "$INSTDIR_WIN"
AFTER_TREE=$(our_classes HKEY_CURRENT_USER)
if [ "$AFTER_TREE" = "$USER_TREE" ]; then
  pass "the upgrade leaves the same user classes"
else
  fail "the upgrade leaves the same user classes; the difference (before, after):"
  diff <(echo "$USER_TREE") <(echo "$AFTER_TREE") | head -n 20
fi
AFTER_UPGRADE=$(our_classes HKEY_LOCAL_MACHINE)
check "the upgrade leaves the same machine-wide copy" test "$AFTER_UPGRADE" = "$MACHINE_TREE"
[ "$AFTER_UPGRADE" = "$MACHINE_TREE" ] ||
  diff <(echo "$MACHINE_TREE") <(echo "$AFTER_UPGRADE") | sed 's/^/      /'

if ! has_standin tolva; then
  # Started by its bare name with no arguments, it takes the kept task up again.
  (cd "$ELSEWHERE" && $WINE64 start tolva.exe </dev/null >/dev/null 2>&1)
  resumed() { cmp -s "$SOURCE_DIR/resume file.bin" "$RESUMED/resume file.bin"; }
  check "the upgraded program finished the kept task" wait_for 90 resumed
  close_program
fi

# What the uninstaller must leave: the user's downloads, settings and data folder.
mkdir -p "$LOCALAPPDATA_UNIX/Tolva"
echo kept >"$LOCALAPPDATA_UNIX/Tolva/tolva.info"
touch "$INSTDIR/tolva.info.tmp" "$INSTDIR/tolva.info.kept" "$INSTDIR/tolva.exe.log"

echo "== silent uninstall"
# Without /ALLUSERS: the uninstaller tells the scope from the entry naming its folder.
wine "$INSTDIR/uninstall.exe" /S </dev/null >/dev/null 2>&1
rc=$?
[ $rc -eq 0 ] && pass "uninstaller /S exit code 0" || fail "uninstaller /S exit code $rc"
# The uninstaller finishes from a copy of itself in the temp folder.
gone() { [ ! -e "$INSTDIR" ]; }
if wait_for 60 gone; then
  pass "installation folder removed"
else
  fail "installation folder left: $(ls -A "$INSTDIR" 2>/dev/null | tr '\n' ' ')"
  # The copy in the temp folder reports nothing; once more in place, for its exit code.
  wine "$INSTDIR/uninstall.exe" /S "_?=$INSTDIR_WIN" </dev/null >/dev/null 2>&1
  echo "      the uninstaller run in place ends with exit code $?"
fi
[ -e "$SHORTCUT" ] && fail "Start menu shortcut left behind"
for key in "$SHELL_CLSID" "$STARTER_PROGID" "$STARTER_CLSID" "$HANDLER_KEY" "${TYPELIBS[@]}" \
           "HKCU\\$APP_PATHS_SUB" "HKLM\\$APP_PATHS_SUB" "HKCU\\$UNINST_SUB" "HKLM\\$UNINST_SUB"; do
  key_exists "$key" && fail "key left behind: $key" || pass "removed $key"
done
check "no class of ours left below HKLM\\Software\\Classes" test -z "$(our_classes HKEY_LOCAL_MACHINE)"
USER_CLASSES_AFTER=$(user_classes)
check "the user's classes are as before setup" test "$USER_CLASSES_AFTER" = "$USER_CLASSES_BEFORE"
[ "$USER_CLASSES_AFTER" = "$USER_CLASSES_BEFORE" ] ||
  diff <(echo "$USER_CLASSES_BEFORE") <(echo "$USER_CLASSES_AFTER") | sed 's/^/      /'

check "the program's settings stay" test -n "$(reg_value 'HKCU\SOFTWARE\Tolva' DefaultDownloadFolder)"
check "the program's data in %LOCALAPPDATA%\\Tolva stays" test -f "$LOCALAPPDATA_UNIX/Tolva/tolva.info"
if [ -n "${ARRIVED:-}" ]; then
  arrived && pass "the downloaded file stays" || fail "the uninstaller removed a download"
fi

echo
if [ $FAILURES -gt 0 ]; then
  echo "$FAILURES check(s) failed"
  exit 1
fi
if [ -n "$SKIPPED" ]; then
  echo "all other checks passed; $SKIPPED"
  exit 77
fi
echo "all checks passed"
