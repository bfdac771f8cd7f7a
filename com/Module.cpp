#include "com/Module.h"

namespace com {

Module::Module() = default;

Module::~Module() = default;

void Module::Init(HINSTANCE instance, const GUID& typeLibId) {
  instance_ = instance;
  typeLibId_ = typeLibId;
}

void Module::Term(bool processEnding) {
  std::vector<std::function<void()>> work;
  {
    ModuleGuard lock;
    work.swap(atTerm_);
  }
  if (processEnding) return;
  for (auto it = work.rbegin(); it != work.rend(); ++it) (*it)();
}

void Module::AtTerm(std::function<void()> fn) {
  ModuleGuard lock;
  atTerm_.push_back(std::move(fn));
}

Module& ThisModule() {
  static Module module;
  return module;
}

}  // namespace com
