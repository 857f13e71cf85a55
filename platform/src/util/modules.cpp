#include "util/modules.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#ifndef TZPLATFORM_LIB_FROM_BIN
#define TZPLATFORM_LIB_FROM_BIN "../lib"
#endif

namespace tzplatform {
namespace detail {
namespace {

constexpr char kModuleSubfolder[] = "tzplatform";

// One loaded module, unloaded when it goes.
class LoadedModule {
 public:
  explicit LoadedModule(void* handle) : handle_(handle) {}
  ~LoadedModule() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  void* handle() const { return handle_; }

 private:
  void* handle_;
};

struct Modules {
  std::mutex mu;
  std::string folder;  // set by a test; empty: ModuleFolder's own
  // By file name; a module that did not load is not kept.
  std::map<std::string, std::unique_ptr<LoadedModule>> loaded;
};

Modules& AllModules() {
  static Modules modules;
  return modules;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The folder of the object that holds this code: the platform library, or
// the program itself when the platform is built in (whose link map has no
// name).
std::string DefaultFolder() {
  Dl_info info{};
  link_map* map = nullptr;
  if (dladdr1(reinterpret_cast<void*>(&DefaultFolder), &info, reinterpret_cast<void**>(&map),
              RTLD_DL_LINKMAP) != 0 &&
      map != nullptr && map->l_name != nullptr && map->l_name[0] != '\0') {
    return FolderOf(map->l_name) + "/" + kModuleSubfolder;
  }
  char program[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
  if (length <= 0) return std::string(TZPLATFORM_LIB_FROM_BIN) + "/" + kModuleSubfolder;
  program[length] = '\0';
  // The kernel's name of the program has no links left in it, so that
  // "bin/.." is the program's parent folder and may be said so.
  const std::filesystem::path folder =
      std::filesystem::path(FolderOf(program)) / TZPLATFORM_LIB_FROM_BIN / kModuleSubfolder;
  return folder.lexically_normal().string();
}

}  // namespace

std::string ModuleFolder() {
  Modules& modules = AllModules();
  {
    std::lock_guard<std::mutex> lock(modules.mu);
    if (!modules.folder.empty()) return modules.folder;
  }
  return DefaultFolder();
}

const void* ModuleTable(const char* file, const char* entry, const char* what, std::string& error) {
  const std::string path = ModuleFolder() + "/" + file;
  Modules& modules = AllModules();
  std::lock_guard<std::mutex> lock(modules.mu);
  std::unique_ptr<LoadedModule>& module = modules.loaded[file];
  if (!module) {
    // Bound at once, so that a module that lacks a symbol fails here, where
    // it can be said, and not later in the middle of a call.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* said = dlerror();
      std::string why = said != nullptr ? said : "unknown error";
      // The loader names the file first; it is named here already.
      if (why.compare(0, path.size() + 2, path + ": ") == 0) why.erase(0, path.size() + 2);
      error = std::string("cannot load the ") + what + " module " + path + ": " + why;
      modules.loaded.erase(file);
      return nullptr;
    }
    module = std::make_unique<LoadedModule>(handle);
  }
  using Entry = const void* (*)();
  auto function = reinterpret_cast<Entry>(dlsym(module->handle(), entry));
  const void* table = function != nullptr ? function() : nullptr;
  if (table == nullptr) {
    error =
        std::string("the ") + what + " module " + path + " is of another build (no " + entry + ")";
    modules.loaded.erase(file);
  }
  return table;
}

void SetModuleFolderForTest(const std::string& folder) {
  Modules& modules = AllModules();
  std::lock_guard<std::mutex> lock(modules.mu);
  modules.folder = folder;
  modules.loaded.clear();
}

}  // namespace detail
}  // namespace tzplatform
