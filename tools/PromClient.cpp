// PromClient: placeholder until the client commands land.
#include "PromClient.h"

int PromClientCommand(int argc, char* argv[])
{
    (void)argc;
    (void)argv;
    return -1;
}
