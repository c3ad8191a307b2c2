// HostLib: loading a .clap file, its entry and its plug-in factory.
#include <dlfcn.h>

#include <cstring>

#include "host/host.h"

bool HostLib::open(const std::string &path) {
    unload();
    error_.clear();
    path_ = path;
    dlerror();
    // dlopen searches the library path for a name without a slash; a host means the file.
    std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char *e = dlerror();
        error_ = std::string("cannot load ") + path + ": " + (e ? e : "unknown error");
        return false;
    }
    entry_ = (const clap_plugin_entry_t *)dlsym(handle_, "clap_entry");
    if (!entry_) {
        error_ = path + ": no clap_entry symbol";
        unload();
        return false;
    }
    return check_version();
}

bool HostLib::load_linked(const clap_plugin_entry_t *entry, const std::string &path) {
    unload();
    error_.clear();
    path_ = path;
    if (!entry) {
        error_ = path + ": no clap_entry";
        return false;
    }
    entry_ = entry;
    linked_ = true;
    if (!check_version() || !init()) {
        std::string e = error_;
        unload();
        error_ = e;
        return false;
    }
    return true;
}

bool HostLib::check_version() {
    if (!clap_version_is_compatible(entry_->clap_version)) {
        char b[128];
        snprintf(b, sizeof b, ": incompatible CLAP version %u.%u.%u", entry_->clap_version.major,
                 entry_->clap_version.minor, entry_->clap_version.revision);
        error_ = path_ + b;
        unload();
        return false;
    }
    return true;
}

bool HostLib::init() {
    if (!loaded() || !entry_) {
        error_ = "no library open";
        return false;
    }
    if (!entry_->init || !entry_->get_factory) {
        error_ = path_ + ": clap_entry lacks init or get_factory";
        return false;
    }
    if (!inited_) {
        if (!entry_->init(path_.c_str())) {
            error_ = path_ + ": entry init failed";
            return false;
        }
        inited_ = true;
    }
    factory_ = (const clap_plugin_factory_t *)entry_->get_factory(CLAP_PLUGIN_FACTORY_ID);
    if (!factory_) {
        error_ = path_ + ": no plug-in factory";
        return false;
    }
    return true;
}

bool HostLib::load(const std::string &path) {
    if (!open(path)) return false;
    if (!init()) {
        std::string e = error_;
        unload();
        error_ = e;
        return false;
    }
    return true;
}

void HostLib::unload() {
    if (inited_ && entry_ && entry_->deinit) entry_->deinit();
    inited_ = false;
    factory_ = nullptr;
    entry_ = nullptr;
    if (handle_) dlclose(handle_);
    handle_ = nullptr;
    linked_ = false;
}

uint32_t HostLib::count() const {
    if (!factory_ || !factory_->get_plugin_count) return 0;
    return factory_->get_plugin_count(factory_);
}

const clap_plugin_descriptor_t *HostLib::descriptor(uint32_t index) const {
    if (!factory_ || !factory_->get_plugin_descriptor) return nullptr;
    return factory_->get_plugin_descriptor(factory_, index);
}

std::vector<const clap_plugin_descriptor_t *> HostLib::descriptors() const {
    std::vector<const clap_plugin_descriptor_t *> v;
    uint32_t n = count();
    if (n > 4096) n = 4096; // a hostile factory cannot make us loop for ever
    for (uint32_t i = 0; i < n; i++)
        if (const clap_plugin_descriptor_t *d = descriptor(i)) v.push_back(d);
    return v;
}

std::string HostLib::first_id() const {
    for (const clap_plugin_descriptor_t *d : descriptors())
        if (d->id) return d->id;
    return std::string();
}
