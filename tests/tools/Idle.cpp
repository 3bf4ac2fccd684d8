// Does nothing until it is told to end: a process with a command line of the test's choosing.
#include <unistd.h>

int main()
{
    for (;;)
        pause();
}
