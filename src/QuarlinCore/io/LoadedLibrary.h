// A shared library opened at run time, for the libraries a command rarely needs: loading one
// at start (relocating it, running its constructors) costs every command, the quickest too.
#pragma once

#include <dlfcn.h>

#include <string>
#include <type_traits>

namespace quarlin {

class LoadedLibrary {
public:
    // Opens `soname` (never closed: the functions found stay valid for the process's life).
    explicit LoadedLibrary(const char* soname) : handle_(::dlopen(soname, RTLD_NOW | RTLD_LOCAL)) {
        if (!handle_) {
            const char* why = ::dlerror();
            error_ = why ? why : std::string(soname) + " could not be loaded";
        }
    }

    // Sets `function` to the library's `name`; false, with error() saying so, when it lacks it.
    template <class Function>
    bool find(Function*& function, const char* name) {
        function = handle_ ? reinterpret_cast<Function*>(::dlsym(handle_, name)) : nullptr;
        if (!function && error_.empty()) error_ = std::string("the library lacks ") + name;
        return function != nullptr;
    }

    // Why the library or one of its functions could not be had; empty when all could.
    const std::string& error() const { return error_; }

private:
    void* handle_;
    std::string error_;
};

}  // namespace quarlin
