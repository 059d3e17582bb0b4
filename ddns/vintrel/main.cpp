#include "vintrel.h"

int main(int argc, char **argv)
{
    Settings st;
    int status = parseCommandLine(argc, argv, st);
    if (status != KEEP_GOING)
        return status;
    return runQuery(st);
}
