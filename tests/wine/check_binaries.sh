#!/usr/bin/env bash
# check_binaries.sh WIN_BUILD_DIR
#
# What Windows itself checks before nictate.exe runs, read from the files:
# - nictate.exe is a 32-bit console program and thinkgear.dll a 32-bit DLL,
#   both marked loadable by Windows XP (OS and subsystem version 5.1 or less);
# - they import from Windows' own DLLs and thinkgear.dll only (the C and C++
#   runtimes are linked in), and only functions XP has: every import is on the
#   list below, reviewed against XP, and none is on the list of later ones;
# - thinkgear.dll exports exactly the nine operations under their plain C
#   names, and nictate.exe imports them by name, bound at load time;
# - nictate.exe carries its manifest (resource type 24, id 1): no elevation,
#   no UI access, and the Windows versions it was made for.
set -uo pipefail

build=${1:?Windows build directory}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
exe=$build/nictate.exe
dll=$build/thinkgear.dll
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

for tool in "$objdump" file wrestool; do
  if ! command -v "$tool" >/dev/null; then
    echo "FAIL: $tool is missing (scripts/setup-windows installs it)"
    exit 1
  fi
done
for f in "$exe" "$dll"; do
  [[ -f $f ]] || { echo "FAIL: $f is missing: build $build first"; exit 1; }
done

# --- File types -------------------------------------------------------------
exe_type=$(file -b "$exe")
dll_type=$(file -b "$dll")
echo "nictate.exe: $exe_type"
echo "thinkgear.dll: $dll_type"
[[ $exe_type == "PE32 executable (console) Intel 80386"* ]] ||
  fail "nictate.exe is not a PE32 console Intel 80386 program"
[[ $dll_type == "PE32 executable (DLL)"*"Intel 80386"* ]] ||
  fail "thinkgear.dll is not a PE32 Intel 80386 DLL"

# --- Headers: the oldest Windows that may load each file --------------------
header() { # FILE FIELD -> the field's value in objdump -p
  "$objdump" -p "$1" | awk -v f="$2" '$1 == f { print $2; exit }'
}
for f in "$exe" "$dll"; do
  name=$(basename "$f")
  [[ $(header "$f" Magic) == 010b ]] || fail "$name is not PE32"
  for part in OSystem Subsystem; do
    major=$(header "$f" "Major${part}Version")
    minor=$(header "$f" "Minor${part}Version")
    if ((major > 5 || (major == 5 && minor > 1))); then
      fail "$name asks for Windows $part version $major.$minor, later than XP (5.1)"
    fi
  done
done
[[ $(header "$exe" Subsystem) == 00000003 ]] || fail "nictate.exe is not a console program"

# --- Imports ------------------------------------------------------------------
imports() { # FILE -> "dll!function" lines, the DLL name in lower case
  "$objdump" -p "$1" | awk '
    /^\tDLL Name: / { dll = tolower($3); next }
    /^$/ { dll = "" }
    dll != "" && /^\t[0-9a-f]+\t *[0-9]+ +[A-Za-z_]/ { print dll "!" $NF }'
}

# Every function either file may import, each one in Windows XP's DLL of
# that name. A new import fails the test until it is checked against XP and
# added here.
allowed=$(tr -s ' \n' '\n' <<'EOF' | sed '/^$/d' | sort -u
kernel32.dll!ClearCommError kernel32.dll!CloseHandle kernel32.dll!CreateFileA
kernel32.dll!CreateSemaphoreW kernel32.dll!DeleteCriticalSection
kernel32.dll!EnterCriticalSection kernel32.dll!FormatMessageA kernel32.dll!FreeLibrary
kernel32.dll!GetCommState
kernel32.dll!GetCurrentThreadId kernel32.dll!GetFileInformationByHandle
kernel32.dll!GetFileType kernel32.dll!GetLastError
kernel32.dll!GetModuleHandleA
kernel32.dll!GetModuleHandleW kernel32.dll!GetProcAddress kernel32.dll!GetStartupInfoA
kernel32.dll!GetSystemTimeAsFileTime kernel32.dll!GetTickCount
kernel32.dll!GetTimeZoneInformation kernel32.dll!InitializeCriticalSection
kernel32.dll!IsDBCSLeadByteEx kernel32.dll!LeaveCriticalSection kernel32.dll!LoadLibraryA
kernel32.dll!LoadLibraryW kernel32.dll!MultiByteToWideChar kernel32.dll!ReadFile
kernel32.dll!ReleaseSemaphore kernel32.dll!SetCommState kernel32.dll!SetCommTimeouts
kernel32.dll!SetLastError kernel32.dll!SetUnhandledExceptionFilter kernel32.dll!Sleep
kernel32.dll!TlsAlloc kernel32.dll!TlsFree kernel32.dll!TlsGetValue kernel32.dll!TlsSetValue
kernel32.dll!VirtualProtect kernel32.dll!VirtualQuery kernel32.dll!WaitForSingleObject
kernel32.dll!WideCharToMultiByte
user32.dll!GetCursorPos user32.dll!GetSystemMetrics user32.dll!SendInput
msvcrt.dll!__getmainargs msvcrt.dll!__initenv msvcrt.dll!__mb_cur_max
msvcrt.dll!__p__acmdln msvcrt.dll!__p__commode msvcrt.dll!__p__fmode
msvcrt.dll!__set_app_type msvcrt.dll!__setusermatherr msvcrt.dll!_amsg_exit
msvcrt.dll!_cexit msvcrt.dll!_chsize msvcrt.dll!_close msvcrt.dll!_errno msvcrt.dll!_fdopen
msvcrt.dll!_fileno msvcrt.dll!_get_osfhandle msvcrt.dll!_initterm
msvcrt.dll!_iob msvcrt.dll!_open_osfhandle
msvcrt.dll!_lock msvcrt.dll!_onexit msvcrt.dll!_read msvcrt.dll!_unlock msvcrt.dll!abort
msvcrt.dll!atoi msvcrt.dll!calloc msvcrt.dll!clearerr msvcrt.dll!exit msvcrt.dll!fclose
msvcrt.dll!fflush msvcrt.dll!fopen msvcrt.dll!fprintf msvcrt.dll!fseek msvcrt.dll!fputc msvcrt.dll!fputs
msvcrt.dll!free msvcrt.dll!fwrite msvcrt.dll!getchar msvcrt.dll!localeconv
msvcrt.dll!malloc msvcrt.dll!memchr msvcrt.dll!memcmp msvcrt.dll!memcpy msvcrt.dll!memmove
msvcrt.dll!memset msvcrt.dll!realloc msvcrt.dll!setlocale msvcrt.dll!setvbuf
msvcrt.dll!signal msvcrt.dll!strchr msvcrt.dll!strcmp msvcrt.dll!strerror msvcrt.dll!strlen
msvcrt.dll!strncmp msvcrt.dll!strspn msvcrt.dll!vfprintf msvcrt.dll!wcslen
thinkgear.dll!TG_Connect thinkgear.dll!TG_EnableBlinkDetection
thinkgear.dll!TG_GetDriverVersion thinkgear.dll!TG_GetNewConnectionId
thinkgear.dll!TG_GetValue thinkgear.dll!TG_GetValueStatus thinkgear.dll!TG_ReadPackets
thinkgear.dll!TG_SetDataLog thinkgear.dll!TG_SetStreamLog
EOF
)

# Functions that came after XP, among those a C or C++ runtime or serial
# code reaches for: a second guard, with a plainer message.
post_xp='GetTickCount64|GetSystemTimePreciseAsFileTime|InitializeCriticalSectionEx|InitOnce|ConditionVariable|SRWLock|^Fls(Alloc|Free|GetValue|SetValue)$|CancelIoEx|GetFileInformationByHandleEx|SetFileInformationByHandle|CreateSymbolicLink|QueryFullProcessImageName|Create(Event|Mutex|Semaphore|WaitableTimer)Ex|GetErrorMode|SetThreadErrorMode|LocaleName|GetLocaleInfoEx|CompareStringEx|LCMapStringEx|GetCurrentProcessorNumber|GetLogicalProcessorInformation|Ex2$|^Nt|^Rtl'

exe_imports=$(imports "$exe" | sort -u)
dll_imports=$(imports "$dll" | sort -u)
[[ -n $exe_imports && -n $dll_imports ]] || fail "no import table read"
for f in nictate.exe thinkgear.dll; do
  if [[ $f == nictate.exe ]]; then list=$exe_imports; else list=$dll_imports; fi
  dlls=$(cut -d'!' -f1 <<<"$list" | sort -u | tr '\n' ' ')
  echo "$f imports from: $dlls($(wc -l <<<"$list") functions)"
  while read -r from; do
    case $from in
      kernel32.dll | user32.dll | msvcrt.dll) ;;
      thinkgear.dll) [[ $f == nictate.exe ]] || fail "$f imports from $from" ;;
      *) fail "$f needs $from, which is not one of Windows' own DLLs" ;;
    esac
  done < <(cut -d'!' -f1 <<<"$list" | sort -u)
  while read -r entry; do
    fn=${entry#*!}
    if grep -Eq "$post_xp" <<<"$fn"; then
      fail "$f imports $entry, which Windows XP does not have"
    elif ! grep -qxF "$entry" <<<"$allowed"; then
      fail "$f imports $entry, not on the reviewed list"
    fi
  done <<<"$list"
done
for op in TG_GetDriverVersion TG_GetNewConnectionId TG_SetStreamLog TG_SetDataLog TG_Connect \
  TG_ReadPackets TG_EnableBlinkDetection TG_GetValueStatus TG_GetValue; do
  grep -qxF "thinkgear.dll!$op" <<<"$exe_imports" || fail "nictate.exe does not import $op"
done
grep -qx 'user32.dll!SendInput' <<<"$exe_imports" || fail "nictate.exe does not import SendInput"
grep -qx 'kernel32.dll!Sleep' <<<"$exe_imports" || fail "nictate.exe does not import Sleep"

# --- Exports of thinkgear.dll -------------------------------------------------
exports=$("$objdump" -p "$dll" | awk '
  /^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
  on && /^$/ { on = 0 }
  on { print $NF }' | sort | tr '\n' ' ')
want="TG_Connect TG_EnableBlinkDetection TG_GetDriverVersion TG_GetNewConnectionId TG_GetValue TG_GetValueStatus TG_ReadPackets TG_SetDataLog TG_SetStreamLog "
echo "thinkgear.dll exports: $exports"
[[ $exports == "$want" ]] || fail "thinkgear.dll exports [$exports], not [$want]"

# --- Manifest -----------------------------------------------------------------
listing=$(wrestool -l "$exe")
grep -q -- '--type=24 --name=1 ' <<<"$listing" ||
  fail "nictate.exe has no manifest resource (type 24, id 1): $listing"
manifest=$(wrestool -x --raw --type=24 --name=1 "$exe" | tr -d '\r')
flat=$(tr -s ' \n\t' ' ' <<<"$manifest")
grep -q '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' <<<"$flat" ||
  fail "the manifest does not ask for asInvoker without UI access"
grep -q '<trustInfo xmlns="urn:schemas-microsoft-com:asm.v[23]">' <<<"$flat" ||
  fail "the manifest has no trustInfo element"
grep -q 'processorArchitecture="x86"' <<<"$flat" || fail "the manifest does not name x86"
for id in e2011457-1546-43c5-a5fe-008deee3d3f0 35138b9a-5d96-4fbd-8e2d-a2440225f93a \
  4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 1f676c76-80e1-4239-95bb-83d0f6d0da78 \
  8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
  grep -q "<supportedOS Id=\"{$id}\"/>" <<<"$flat" || fail "the manifest does not declare {$id}"
done
[[ $(grep -c '<assembly ' <<<"$manifest") == 1 && $(grep -c '</assembly>' <<<"$manifest") == 1 ]] ||
  fail "the manifest is not one <assembly> element"

if ((failures > 0)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
