#include "engine/TaskTable.h"

#include <algorithm>

#include "engine/DestinationPath.h"

using destination_path::Folded;
using destination_path::Same;

const CTaskTable::TaskPtr& CTaskTable::Ref(int index) const {
  static const TaskPtr kNone;
  const std::vector<TaskPtr>& tasks = rows_.Unguarded().Tasks();
  if (index < 0 || index >= static_cast<int>(tasks.size())) return kNone;
  return tasks[static_cast<size_t>(index)];
}

bool CTaskTable::Rows::AnyCopying() const {
  for (size_t i = tasks_.size(); i-- > 0;) {
    const int state = tasks_[i]->GetState();
    if (state == TS_READY || state == TS_DOWNLOADED) return true;
  }
  return false;
}

int CTaskTable::Rows::IndexOf(const CDownloadTask* task) const {
  for (size_t i = 0; i < tasks_.size(); ++i)
    if (tasks_[i].get() == task) return static_cast<int>(i);
  return -1;
}

CDownloadTask* CTaskTable::Rows::Find(const std::string& destination,
                                      const std::string& source) const {
  auto [first, last] = byDestination_.equal_range(Folded(destination));
  for (auto it = first; it != last; ++it)
    if ((Same(it->second->destination, destination) ||
         Same(it->second->AskedDestination(), destination)) &&
        (source.empty() || Same(it->second->source, source)))
      return it->second;
  return nullptr;
}

bool CTaskTable::Rows::Claimed(const std::string& path) const {
  auto [first, last] = byDestination_.equal_range(Folded(path));
  for (auto it = first; it != last; ++it)
    if (Same(it->second->destination, path)) return true;
  return false;
}

bool CTaskTable::Rows::IsOwnUnchangedCopy(const std::string& path, const std::string& source,
                                          uint64_t size, uint64_t time) const {
  auto found = finishedCopies_.find(Folded(path));
  return found != finishedCopies_.end() && Same(found->second.source, source) &&
         found->second.size == size && found->second.time == time;
}

void CTaskTable::Rows::Add(const TaskPtr& task) {
  tasks_.push_back(task);
  IndexDestinations(task.get());
}

std::vector<int> CTaskTable::Rows::Move(std::vector<int> indexes, Place place) {
  const int count = static_cast<int>(tasks_.size());
  std::sort(indexes.begin(), indexes.end());
  indexes.erase(std::unique(indexes.begin(), indexes.end()), indexes.end());
  indexes.erase(std::remove_if(indexes.begin(), indexes.end(),
                               [count](int i) { return i < 0 || i >= count; }),
                indexes.end());
  const int moved = static_cast<int>(indexes.size());
  std::vector<int> placed;
  if (place == Place::Top || place == Place::Bottom) {
    std::vector<TaskPtr> chosen, rest;
    for (int i = 0, k = 0; i < count; ++i) {
      const bool isChosen = k < moved && indexes[static_cast<size_t>(k)] == i;
      if (isChosen) ++k;
      (isChosen ? chosen : rest).push_back(std::move(tasks_[static_cast<size_t>(i)]));
    }
    const int first = place == Place::Top ? 0 : count - moved;
    if (place == Place::Top) {
      chosen.insert(chosen.end(), std::make_move_iterator(rest.begin()),
                    std::make_move_iterator(rest.end()));
      tasks_ = std::move(chosen);
    } else {
      rest.insert(rest.end(), std::make_move_iterator(chosen.begin()),
                  std::make_move_iterator(chosen.end()));
      tasks_ = std::move(rest);
    }
    for (int k = 0; k < moved; ++k) placed.push_back(first + k);
    return placed;
  }
  // One place: each chosen task swaps with its neighbour unless a chosen task that could
  // not move stands there.
  if (place == Place::Up) {
    int floor = 0;
    for (int i : indexes) {
      const int to = i > floor ? i - 1 : i;
      if (to != i) std::swap(tasks_[static_cast<size_t>(i)], tasks_[static_cast<size_t>(to)]);
      placed.push_back(to);
      floor = to + 1;
    }
    return placed;
  }
  int ceiling = count - 1;
  for (auto it = indexes.rbegin(); it != indexes.rend(); ++it) {
    const int i = *it;
    const int to = i < ceiling ? i + 1 : i;
    if (to != i) std::swap(tasks_[static_cast<size_t>(i)], tasks_[static_cast<size_t>(to)]);
    placed.insert(placed.begin(), to);
    ceiling = to - 1;
  }
  return placed;
}

CTaskTable::TaskPtr CTaskTable::Rows::RemoveAt(int index) {
  TaskPtr task = tasks_[static_cast<size_t>(index)];
  tasks_.erase(tasks_.begin() + index);
  UnindexDestinations(task.get());
  return task;
}

void CTaskTable::Rows::Clear() {
  tasks_.clear();
  byDestination_.clear();
}

void CTaskTable::Rows::IndexDestinations(CDownloadTask* task) {
  byDestination_.emplace(Folded(task->AskedDestination()), task);
  if (!Same(task->AskedDestination(), task->destination))
    byDestination_.emplace(Folded(task->destination), task);
}

void CTaskTable::Rows::UnindexDestinations(CDownloadTask* task) {
  const std::string* got = &task->destination;
  for (const std::string* path : {&task->AskedDestination(), got}) {
    auto [first, last] = byDestination_.equal_range(Folded(*path));
    for (auto it = first; it != last;) it = it->second == task ? byDestination_.erase(it) : ++it;
  }
}

void CTaskTable::Rows::MoveDestination(CDownloadTask* task, const std::string& path) {
  const std::string asked = task->AskedDestination();
  UnindexDestinations(task);
  task->SetDestination(path);
  task->SetAskedDestination(asked);
  IndexDestinations(task);
}

void CTaskTable::Rows::RecordFinishedCopy(const CDownloadTask& task, uint64_t size, uint64_t time) {
  finishedCopies_[Folded(task.destination)] = {task.source, size, time};
}
