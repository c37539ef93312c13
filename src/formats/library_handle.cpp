#include "formats/library_handle.h"

#include <dlfcn.h>
#include <link.h>

namespace brindle {

LibraryHandle& LibraryHandle::operator=(LibraryHandle&& other) noexcept
{
    if (this != &other) {
        Reset();
        handle_ = other.handle_;
        other.handle_ = nullptr;
    }
    return *this;
}

int LibraryHandle::Open(const std::string& nameOrPath)
{
    Reset();
    if (nameOrPath.empty())
        return 0;
    // RTLD_LOCAL keeps the library's symbols out of the global namespace: only dlsym reaches them.
    handle_ = dlopen(nameOrPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    return handle_ ? 1 : 0;
}

void LibraryHandle::Reset()
{
    if (handle_) {
        dlclose(handle_);
        handle_ = nullptr;
    }
}

void* LibraryHandle::Symbol(const char* name) const
{
    if (!handle_ || !name)
        return nullptr;
    return dlsym(handle_, name);
}

std::string LibraryHandle::LoadedPath() const
{
    if (!handle_)
        return {};
    link_map* map = nullptr;
    if (dlinfo(handle_, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name)
        return {};
    return map->l_name;
}

}  // namespace brindle
