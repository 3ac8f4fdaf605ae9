// A small program for the packer's round trip: it reports what a process
// is given, so that its plain and packed forms can be compared.
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char** argv)
{
    printf("process %d\n", getpid());
    for (int i = 0; i < argc; ++i)
        printf("argument %d: %s\n", i, argv[i]);
    for (char** variable = environ; *variable; ++variable)
        printf("environment: %s\n", *variable);
    DIR* descriptors = opendir("/proc/self/fd");
    int own = dirfd(descriptors);
    while (dirent* entry = readdir(descriptors)) {
        int descriptor = atoi(entry->d_name);
        if (entry->d_name[0] == '.' || descriptor == own)
            continue;
        char target[256] = {};
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", descriptor);
        (void)!readlink(link, target, sizeof target - 1);
        printf("descriptor %d: %s\n", descriptor, target);
    }
    return 7;
}
