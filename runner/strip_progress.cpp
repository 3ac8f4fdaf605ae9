// Preloaded by scripts/run into mirrorfold, to show the render's progress
// without the program printing anything of its own: the program waits for
// every strip it draws with glFinish, and each such wait, once over, writes
// one newline to the descriptor that MIRRORFOLD_STRIP_FD names.
//
// Without that variable it only forwards the call.

#include <unistd.h>

#include <cstdlib>

#include "program_calls.h"

extern "C" void glFinish()
{
    static const auto real = program_calls::real_function<void (*)()>("glFinish");
    static const int strip_descriptor = [] {
        const char* number = getenv("MIRRORFOLD_STRIP_FD");
        return number ? atoi(number) : -1;
    }();
    real();
    // The toolkit may wait for the GL too; only the program's waits are strips.
    if (strip_descriptor >= 0 && program_calls::called_by_program(__builtin_return_address(0)))
        (void)!write(strip_descriptor, "\n", 1);
}
