// What the C++ runtime linked into the module needs of glibc, kept to what the manylinux wheel
// promises (see CMakeLists.txt).
//
// The unwinder that C++ exceptions use (libgcc's, linked in with -static-libgcc) was built against
// the glibc of the machine that builds the module: it finds a frame's unwind tables with
// _dl_find_object (new in glibc 2.35) and takes pthread_once and __pthread_key_create at their
// glibc 2.34 versions. The linker sends those references here instead (-Wl,--wrap): the two pthread
// functions at the versions every x86-64 glibc has, and the lookup answered with the module's own
// unwind tables (its PT_GNU_EH_FRAME segment). That is enough, because the unwinder only ever
// unwinds the module's own frames: every exception is thrown in the module and caught where CPython
// calls into it.
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>

#include <cstdint>

namespace {

void* own_eh_frame = nullptr;  // the module's PT_GNU_EH_FRAME segment

int find_own(dl_phdr_info* info, std::size_t, void* address) {
    void* eh_frame = nullptr;
    bool own = false;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
        if (segment.p_type == PT_GNU_EH_FRAME) eh_frame = reinterpret_cast<void*>(start);
        const auto wanted = reinterpret_cast<std::uintptr_t>(address);
        if (segment.p_type == PT_LOAD && wanted >= start && wanted < start + segment.p_memsz) own = true;
    }
    if (own) own_eh_frame = eh_frame;
    return own ? 1 : 0;
}

// When the module is loaded, before anything can throw.
[[gnu::constructor]] void find_own_eh_frame() { dl_iterate_phdr(find_own, reinterpret_cast<void*>(&find_own)); }

}  // namespace

extern "C" {

__asm__(".symver glibc_pthread_once, pthread_once@GLIBC_2.2.5");
__asm__(".symver glibc_pthread_key_create, __pthread_key_create@GLIBC_2.2.5");
int glibc_pthread_once(pthread_once_t* once, void (*init)());
int glibc_pthread_key_create(pthread_key_t* key, void (*destructor)(void*));

int __wrap_pthread_once(pthread_once_t* once, void (*init)()) { return glibc_pthread_once(once, init); }

int __wrap___pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
    return glibc_pthread_key_create(key, destructor);
}

// A frame of another object would find no entry in the module's tables, as when the lookup fails.
int __wrap__dl_find_object(void*, dl_find_object* result) {
    *result = {};
    result->dlfo_eh_frame = own_eh_frame;
    return own_eh_frame != nullptr ? 0 : -1;
}

}  // extern "C"
