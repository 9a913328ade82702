// Codec libraries loaded when first needed. A codec whose library is large,
// or pulls in many others, names the entry points it calls in a list and
// calls them through a table; a Linux build (ZENT_LIBRARIES_ON_DEMAND) fills
// the table from the shared library at the codec's first use, so that the
// program starts without it; other builds fill it from the linked library.
//
//   #define MY_ENTRY_POINTS(X) X(lib_open) X(lib_close)
//   ZENT_LIBRARY(MyLibrary, My, MY_ENTRY_POINTS, "libmy.so.1")
//   ... if (!My().loaded) fail; My().lib_open(...);
#pragma once

#include <cstring>

#ifdef ZENT_LIBRARIES_ON_DEMAND
#include <dlfcn.h>

namespace on_demand {

// Opens a library for the rest of the process; null when it is missing.
inline void* Open(const char* soname) { return dlopen(soname, RTLD_NOW | RTLD_LOCAL); }

// Sets entry to the library's function of that name; false when it has none.
template <class Function>
bool Find(void* library, const char* name, Function& entry) {
    void* address = dlsym(library, name);
    if (!address) return false;
    memcpy(&entry, &address, sizeof entry);
    return true;
}

}  // namespace on_demand

// True when the library opened and had every entry point; the table is
// partly filled otherwise and must not be used.
#define ZENT_ENTRY_FIND(name) found = on_demand::Find(library, #name, zent_table_.name) && found;
#define ZENT_FILL_ENTRY_POINTS(LIST, table, soname)        \
    [&zent_table_ = (table)] {                             \
        void* library = on_demand::Open(soname);           \
        if (!library) return false;                        \
        bool found = true;                                 \
        LIST(ZENT_ENTRY_FIND)                              \
        if (!found) dlclose(library);                      \
        return found;                                      \
    }()
#else
#define ZENT_ENTRY_TAKE(name) zent_table_.name = &::name;
#define ZENT_FILL_ENTRY_POINTS(LIST, table, soname) \
    [&zent_table_ = (table)] {                      \
        LIST(ZENT_ENTRY_TAKE)                       \
        return true;                                \
    }()
#endif

// One table member: a pointer to the function of that name.
#define ZENT_ENTRY_POINTER(name) decltype(&::name) name = nullptr;

// Declares the table Name (one pointer per entry point of LIST, and whether
// they were all found) and accessor(), which fills it from soname at its
// first call and gives it.
#define ZENT_LIBRARY(Name, accessor, LIST, soname)                              \
    struct Name {                                                               \
        LIST(ZENT_ENTRY_POINTER)                                                \
        bool loaded = false;                                                    \
    };                                                                          \
    const Name& accessor() {                                                    \
        static const Name table = [] {                                          \
            Name loading;                                                       \
            loading.loaded = ZENT_FILL_ENTRY_POINTS(LIST, loading, soname);     \
            return loading;                                                     \
        }();                                                                    \
        return table;                                                           \
    }
