// Loads a file-system module the way the host does: dlopen with RTLD_NOW,
// then its C entry point LoadFSM. Owns the library handle; the module object
// is deleted (after UnloadFSM) before the library is closed.
#pragma once
#include <string>

#include "host/FSM.h"

class ModuleLoader {
public:
    ModuleLoader() = default;
    ~ModuleLoader();
    ModuleLoader(const ModuleLoader&) = delete;
    ModuleLoader& operator=(const ModuleLoader&) = delete;

    // False with a reason in error() when the library or its entry point is missing.
    bool Load(const std::string& path);
    FSM* module() const { return module_; }
    const std::string& error() const { return error_; }
    // UnloadFSM, then delete the module object through its virtual destructor.
    void Unload();

private:
    void* library_ = nullptr;
    FSM* module_ = nullptr;
    std::string error_;
};
