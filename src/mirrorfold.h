// What the application shell and the render driver share: the four routines
// of the program, the one piece of state they both touch, and the way the
// process ends.
//
// The executable has no C runtime: the loader enters program_start directly,
// and the process leaves through the exit_group system call, never through
// libc's exit. Nothing here may need a constructor, exceptions, RTTI or the
// C++ standard library.
#pragma once

#include <gtk/gtk.h>

extern "C" {

// Entered by the loader in place of main; never returns.
[[noreturn]] void program_start();

// Ends the process with status 0 whatever it is called with: it serves as the
// window's "destroy" handler as it is.
[[noreturn]] void quit_now();

gboolean on_key_press(GtkWidget* window, GdkEventKey* event, gpointer unused);

gboolean on_render(GtkWidget* area, GdkGLContext* unused_context, gpointer unused);

}

// Running since the first instruction of the process; read once, when the
// image is finished.
extern GTimer* render_timer;

// exit_group rather than exit: no atexit handlers, no stdio flushing and no
// toolkit teardown, so the process ends at once.
[[noreturn]] __attribute__((always_inline)) inline void end_process(int status)
{
    asm volatile("syscall" : : "a"(231), "D"(status));
    __builtin_unreachable();
}
