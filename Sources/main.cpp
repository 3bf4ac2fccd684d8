#include "ApplicationMain.h"

#include <sys/prctl.h>

int main(int argc, char *argv[])
{
    // Before anything else: no other program of the user's may attach to us or copy out the
    // pipe to root that we may come to hold.
    prctl(PR_SET_DUMPABLE, 0);
    return NSApplicationMain(argc, argv);
}
