// For libraries preloaded into mirrorfold to watch it from inside: which
// calls come from the program's own code, and the real function behind a
// wrapper.
//
// The executable binds every import at load time; a preloaded library comes
// first in the search order, so its definitions fill the executable's slots.
// The toolkit calls some of the same functions internally, so a wrapper
// looks at its return address to tell the program's calls from the rest.
#pragma once

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace program_calls {

struct AddressRange {
    uintptr_t begin = 0, end = 0;
};

inline AddressRange main_program_range()
{
    AddressRange range{UINTPTR_MAX, 0};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            auto* range = static_cast<AddressRange*>(data);
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const auto& header = info->dlpi_phdr[i];
                if (header.p_type != PT_LOAD)
                    continue;
                uintptr_t begin = info->dlpi_addr + header.p_vaddr;
                range->begin = std::min(range->begin, begin);
                range->end = std::max(range->end, uintptr_t(begin + header.p_memsz));
            }
            return 1;  // the first object is the main program
        },
        &range);
    return range;
}

// Pass __builtin_return_address(0) of the wrapper.
inline bool called_by_program(void* return_address)
{
    static const AddressRange program = main_program_range();
    auto address = reinterpret_cast<uintptr_t>(return_address);
    return address >= program.begin && address < program.end;
}

// The next definition of `name` after the preloaded library's own.
template <typename Function>
Function real_function(const char* name)
{
    void* address = dlsym(RTLD_NEXT, name);
    if (!address) {
        fprintf(stderr, "preload: no %s to forward to\n", name);
        abort();
    }
    return reinterpret_cast<Function>(address);
}

}  // namespace program_calls
