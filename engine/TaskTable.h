// The kernel's ordered tasks and what is kept about them: the index of their
// destinations, the copies finished in this run, and the kernel's own fields of every
// record (generation, open files, the read, what the copy has settled on).
//
// One lock guards all of it: held alone (Write) to change anything, beside other
// readers (Read) to look. Rows are added and removed only on the window's thread, so
// that thread alone may read the list without the lock (Count, At). Notices gathered
// while the table is held reach the observer once it is released, in order.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/Guarded.h"
#include "engine/DownloadTask.h"
#include "engine/KernelNotices.h"

class CTaskTable {
 public:
  using TaskPtr = std::shared_ptr<CDownloadTask>;

  class Rows {
   public:
    const std::vector<TaskPtr>& Tasks() const { return tasks_; }
    int IndexOf(const CDownloadTask* task) const;  // -1 when not in the list
    // Some task is ready or copying. Looked for from the newest task, the likeliest to
    // copy still.
    bool AnyCopying() const;
    // The listed task that asked for or got `destination` (any case), among those that
    // copy `source` unless it is empty; null when none. Found through the index, so
    // adding thousands of files is not quadratic.
    CDownloadTask* Find(const std::string& destination, const std::string& source = {}) const;
    // Some listed task copies into this very file.
    bool Claimed(const std::string& path) const;
    // Whether the file at `path`, of this size and last-write time, is a copy finished
    // in this run of `source` that nobody has changed since.
    bool IsOwnUnchangedCopy(const std::string& path, const std::string& source, uint64_t size,
                            uint64_t time) const;

    // Only on the window's thread (or before the threads run).
    void Add(const TaskPtr& task);
    // Moves the tasks at `indexes` (any order, out-of-range ones ignored) to the top or
    // the bottom, or one place up or down, keeping their order among themselves; a block
    // already at the end it moves towards stays. Gives their new indexes, top down.
    enum class Place { Top, Bottom, Up, Down };
    std::vector<int> Move(std::vector<int> indexes, Place place);
    TaskPtr RemoveAt(int index);
    void Reserve(size_t more) { tasks_.reserve(tasks_.size() + more); }
    void Clear();
    // The task's copy now goes to `path`.
    void MoveDestination(CDownloadTask* task, const std::string& path);
    void RecordFinishedCopy(const CDownloadTask& task, uint64_t size, uint64_t time);

   private:
    // The index holds a task under both the destination it asked for and the one it got.
    void IndexDestinations(CDownloadTask* task);
    void UnindexDestinations(CDownloadTask* task);

    // Shared so that a thread busy with a task keeps the record (and its files) alive
    // even when the window deletes the task meanwhile.
    std::vector<TaskPtr> tasks_;
    // Listed tasks by their destinations (asked for and got) folded to upper case.
    std::unordered_multimap<std::wstring, CDownloadTask*> byDestination_;
    struct FinishedCopy {
      std::string source;
      uint64_t size = 0, time = 0;
    };
    // By the copy's path folded: a later copy of the same source may replace one that
    // nobody has changed since.
    std::unordered_map<std::wstring, FinishedCopy> finishedCopies_;
  };

  // The table held alone.
  class Writer {
   public:
    Writer(base::Guarded<Rows>& rows, CKernelNotices& notices)
        : notices_(notices), locked_(rows.Lock()) {}
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer() {
      locked_.Unlock();
      notices_.Deliver();
    }
    Rows* operator->() const { return &*locked_; }
    Rows& operator*() const { return *locked_; }
    void Notify(CKernelNotices::Kind kind, int index, TaskPtr task = nullptr) {
      notices_.Add(kind, index, std::move(task));
    }

   private:
    CKernelNotices::Batch notices_;
    base::Guarded<Rows>::Locked locked_;
  };

  // The table held beside other readers.
  class Reader {
   public:
    Reader(const base::Guarded<Rows>& rows, CKernelNotices& notices)
        : notices_(notices), locked_(rows.LockShared()) {}
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    ~Reader() {
      locked_.Unlock();
      notices_.Deliver();
    }
    const Rows* operator->() const { return &*locked_; }
    const Rows& operator*() const { return *locked_; }
    void Notify(CKernelNotices::Kind kind, int index, TaskPtr task = nullptr) {
      notices_.Add(kind, index, std::move(task));
    }

   private:
    CKernelNotices::Batch notices_;
    base::Guarded<Rows>::SharedLocked locked_;
  };

  explicit CTaskTable(CKernelNotices& notices) : notices_(notices) {}
  CTaskTable(const CTaskTable&) = delete;
  CTaskTable& operator=(const CTaskTable&) = delete;

  Writer Write() { return Writer(rows_, notices_); }
  Reader Read() const { return Reader(rows_, notices_); }

  // Without the lock: only on the thread that adds and removes rows (the window's).
  int Count() const { return static_cast<int>(rows_.Unguarded().Tasks().size()); }
  CDownloadTask* At(int index) const { return Ref(index).get(); }
  // The same, held: the record stays valid for the holder even after it leaves the list.
  const TaskPtr& Ref(int index) const;

 private:
  CKernelNotices& notices_;
  base::Guarded<Rows> rows_;
};
