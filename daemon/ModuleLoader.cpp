#include "daemon/ModuleLoader.h"

#include <dlfcn.h>

ModuleLoader::~ModuleLoader() {
    Unload();
    // The library stays mapped: threads or atexit handlers of its components
    // may still run until the process ends.
}

bool ModuleLoader::Load(const std::string& path) {
    library_ = dlopen(path.c_str(), RTLD_NOW);
    if (library_ == nullptr) {
        const char* reason = dlerror();
        error_ = reason != nullptr ? reason : "dlopen failed";
        return false;
    }
    dlerror();
    void* symbol = dlsym(library_, "LoadFSM");
    if (symbol == nullptr) {
        error_ = "LoadFSM not found in " + path;
        return false;
    }
    LoadFSMFunc loadFSM = reinterpret_cast<LoadFSMFunc>(symbol);
    module_ = loadFSM();
    if (module_ == nullptr) {
        error_ = "LoadFSM returned no module";
        return false;
    }
    return true;
}

void ModuleLoader::Unload() {
    if (module_ == nullptr) return;
    module_->UnloadFSM();
    delete module_;
    module_ = nullptr;
}
