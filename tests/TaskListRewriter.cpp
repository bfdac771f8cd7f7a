// Rewrites the task list at argv[1] over and over, alternating a long and a short list,
// and sets the event named by argv[2] after each write. Ends by itself after a minute so
// that nothing is left running if its parent dies.
#include "engine/TaskListFile.h"
#include "tests/TaskListRewriterLists.h"
#include "base/UniqueHandle.h"
#include "base/Utf8.h"
#include "base/Win.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  CTaskListFile file(base::Narrow(argv[1]));
  base::UniqueKernelHandle written(OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]));
  const std::string texts[2] = {CTaskListFile::Format(RewriterList(true)),
                                CTaskListFile::Format(RewriterList(false))};
  const ULONGLONG start = GetTickCount64();
  for (unsigned i = 0; GetTickCount64() - start < 60000; ++i) {
    if (!file.Write(texts[i % 2])) return 1;
    if (written) SetEvent(written.Get());
  }
  return 0;
}
