// What a thread stuck in ReadFile on a hung share file does to its process under Wine.
// Driven by run-hung-read.sh, which mounts the test share and hangs the file's reads.
//
//   hungread cancel sync|overlapped FILE   CancelSynchronousIo, then CancelIoEx
//   hungread exit return|exitprocess FILE  leaves main while the read hangs
//   hungread open FILE                     opens and reads FILE, prints the ms taken
#include "tests/testshare/TestShare.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Reader {
  HANDLE file = INVALID_HANDLE_VALUE;
  bool overlapped = false;
  volatile LONG done = 0;
  DWORD error = 0;
  DWORD got = 0;
};

DWORD WINAPI ReadOnce(void* param) {
  auto* r = static_cast<Reader*>(param);
  std::vector<char> buffer(256 * 1024);
  BOOL ok;
  if (r->overlapped) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ok = ReadFile(r->file, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
      ok = GetOverlappedResult(r->file, &ov, &r->got, TRUE);
    else if (ok)
      GetOverlappedResult(r->file, &ov, &r->got, FALSE);
    CloseHandle(ov.hEvent);
  } else {
    ok = ReadFile(r->file, buffer.data(), static_cast<DWORD>(buffer.size()), &r->got, nullptr);
  }
  r->error = ok ? 0 : GetLastError();
  InterlockedExchange(&r->done, 1);
  return 0;
}

bool WaitDone(Reader& r, DWORD ms) {
  for (DWORD waited = 0; waited < ms; waited += 10) {
    if (r.done) return true;
    Sleep(10);
  }
  return r.done != 0;
}

void Say(const char* fmt, auto... args) {
  std::printf(fmt, args...);
  std::fflush(stdout);
}

HANDLE Open(const wchar_t* path, bool overlapped) {
  return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     overlapped ? FILE_FLAG_OVERLAPPED : FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Starts the read and makes sure it is really waiting on the share.
HANDLE StartRead(Reader& r) {
  HANDLE thread = CreateThread(nullptr, 0, ReadOnce, &r, 0, nullptr);
  if (WaitDone(r, 500)) Say("read ended at once (error %lu): is the file hung?\n", r.error);
  return thread;
}

int Cancel(const wchar_t* path, bool overlapped) {
  Reader r;
  r.overlapped = overlapped;
  r.file = Open(path, overlapped);
  if (r.file == INVALID_HANDLE_VALUE) return Say("open failed %lu\n", GetLastError()), 1;
  HANDLE thread = StartRead(r);
  BOOL sync = CancelSynchronousIo(thread);
  DWORD syncError = sync ? 0 : GetLastError();
  bool endedBySync = WaitDone(r, 2000);
  Say("CancelSynchronousIo: returned %d (error %lu); read ended within 2 s: %s (error %lu)\n", sync,
      syncError, endedBySync ? "yes" : "no", r.error);
  if (!endedBySync) {
    BOOL ex = CancelIoEx(r.file, nullptr);
    DWORD exError = ex ? 0 : GetLastError();
    bool endedByEx = WaitDone(r, 2000);
    Say("CancelIoEx: returned %d (error %lu); read ended within 2 s: %s (error %lu)\n", ex, exError,
        endedByEx ? "yes" : "no", r.error);
  }
  Say("done\n");
  // The driver releases the file when the read still hangs, so that we can leave.
  WaitForSingleObject(thread, INFINITE);
  Say("after release: read returned %lu bytes (error %lu)\n", r.got, r.error);
  return 0;
}

int Exit(const wchar_t* path, bool viaExitProcess) {
  static Reader r;  // still read by the hung thread while the process ends
  r.file = Open(path, false);
  if (r.file == INVALID_HANDLE_VALUE) return Say("open failed %lu\n", GetLastError()), 1;
  StartRead(r);
  Say("exiting\n");
  if (viaExitProcess) ExitProcess(0);
  return 0;
}

int OpenAndRead(const wchar_t* path) {
  ULONGLONG start = GetTickCount64();
  Reader r;
  r.file = Open(path, false);
  if (r.file == INVALID_HANDLE_VALUE) return Say("open failed %lu\n", GetLastError()), 1;
  ReadOnce(&r);
  Say("open+read %lu bytes in %llu ms (error %lu)\n", r.got, GetTickCount64() - start, r.error);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring mode = argc > 1 ? argv[1] : L"";
  if (mode == L"cancel" && argc == 4)
    return Cancel(argv[3], std::wstring(argv[2]) == L"overlapped");
  if (mode == L"exit" && argc == 4) return Exit(argv[3], std::wstring(argv[2]) == L"exitprocess");
  if (mode == L"open" && argc == 3) return OpenAndRead(argv[2]);
  std::fprintf(
      stderr,
      "usage: hungread cancel sync|overlapped FILE | exit return|exitprocess FILE | open FILE\n");
  return 2;
}
