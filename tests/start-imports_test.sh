#!/bin/bash
# tests/start-imports_test.sh OBJDUMP PROGRAM
# A later start loads every DLL in the program's import table before it can hand its
# arguments over: only the few that start needs may be there. The window's DLLs must
# still be reachable, as delay imports.
set -u
objdump=$1 program=$2
allowed="kernel32.dll msvcrt.dll"
delayed="advapi32.dll user32.dll gdi32.dll comctl32.dll comdlg32.dll shell32.dll ole32.dll oleaut32.dll"
status=0
imports=$("$objdump" -p "$program" | awk '/DLL Name:/ {print tolower($3)}')
if [ -z "$imports" ]; then
  echo "no import table read from $program"
  exit 1
fi
for dll in $imports; do
  case " $allowed " in
    *" $dll "*) ;;
    *) echo "loaded at every start: $dll (make it a delay import)"; status=1 ;;
  esac
done
for dll in $delayed; do
  if ! grep -qai "$dll" "$program"; then
    echo "not imported at all, not even delayed: $dll"
    status=1
  fi
done
[ $status = 0 ] && echo "imports at start: $(echo $imports | tr '\n' ' ')"
exit $status
