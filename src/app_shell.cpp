// The application shell: process entry, the full-screen window with its GL
// drawing area, the keyboard handler and termination.

#include "mirrorfold.h"

GTimer* render_timer;

// The loader jumps here with the stack 16-byte aligned and no return address
// on it, one word off from what a called function expects; the attribute has
// the compiler realign the frame so the toolkit is always called with the
// alignment the ABI promises it.
extern "C" [[noreturn]] __attribute__((force_align_arg_pointer)) void program_start()
{
    // First of all, so that the printed time covers toolkit start-up too.
    render_timer = g_timer_new();

    // A descriptor among 0, 1 and 2 that the caller left closed would go to
    // the first file the toolkit opens, its X connection say, and the time
    // line would then be written into the X protocol. open gives the lowest
    // free descriptor, so /dev/null fills the gaps in order; the first
    // descriptor it gets past 2, or its error, ends the loop, and that
    // descriptor is closed again. In assembly, as it is shorter than what
    // the compiler makes of it: O_RDWR and open's number are both 2, and
    // close's is one more.
    const char* null_device = "/dev/null";
    asm volatile(
        "1:\tmov %%esi, %%eax\n\t"
        "syscall\n\t"
        "cmp %%esi, %%eax\n\t"
        "jbe 1b\n\t"
        "xchg %%eax, %%edi\n\t"
        "lea 1(%%rsi), %%eax\n\t"
        "syscall"
        : "+D"(null_device)
        : "S"(2)
        : "rax", "rcx", "r11", "memory");

    // The command line is never handed to the toolkit: the program has no
    // options, not even the toolkit's own.
    gtk_init(nullptr, nullptr);

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget* area = gtk_gl_area_new();
    // Plain casts here and below: the checked GTK_CONTAINER() would cost two
    // imports for its type check, and GLib's own headers make it plain in
    // optimised builds from 2.84 on anyway.
    gtk_container_add(reinterpret_cast<GtkContainer*>(window), area);

    g_signal_connect_data(window, "destroy", G_CALLBACK(quit_now), nullptr, nullptr, GConnectFlags(0));
    g_signal_connect_data(window, "key_press_event", G_CALLBACK(on_key_press), nullptr, nullptr, GConnectFlags(0));
    g_signal_connect_data(area, "render", G_CALLBACK(on_render), nullptr, nullptr, GConnectFlags(0));

    gtk_widget_show_all(window);
    gtk_window_fullscreen(reinterpret_cast<GtkWindow*>(window));

    // The window's GdkWindow exists only once the widget is shown.
    GdkWindow* window_surface = gtk_widget_get_window(window);
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gdk_window_set_cursor(window_surface, gdk_cursor_new(GDK_BLANK_CURSOR));
    G_GNUC_END_IGNORE_DEPRECATIONS

    gtk_main();
    quit_now();
}

extern "C" gboolean on_key_press(GtkWidget*, GdkEventKey* event, gpointer)
{
    // Modifiers are not looked at: Shift+Escape or Ctrl+Escape quit as well.
    if (event->keyval == GDK_KEY_Escape)
        quit_now();
    // Every other key goes on to the toolkit's own handlers.
    return FALSE;
}

// Not inlined: a call is shorter than the system call it makes.
extern "C" __attribute__((noinline)) void quit_now()
{
    end_process(0);
}
