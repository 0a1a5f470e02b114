// promtool: the identity EEPROM's host tool.
//
//   promtool image create|show ...   make or read chip images
//   promtool watch|set-name|stop|status ...   talk to a running service
#include <cstdio>
#include <cstring>

#include "PromClient.h"
#include "PromImage.h"

namespace
{
void Usage(FILE* pOut)
{
    fprintf(pOut,
        "Usage: promtool COMMAND [ARGS...]\n"
        "\n"
        "Chip images (on any machine):\n"
        "  image create --serial NNNNNN --mac MAC [--name NAME] -o IMAGE\n"
        "  image show IMAGE [--mac MAC] [--dump]\n"
        "\n"
        "A running eeprom-manager (on the unit):\n"
        "  watch [--count N]      print each identity message and heartbeat\n"
        "  set-name NAME          rename the unit\n"
        "  stop                   ask the service to stop\n"
        "  status                 wait for one identity message and one heartbeat\n"
        "\n"
        "Each command has -h. Examples:\n"
        "  promtool image create --serial 123456 --mac 02:00:00:00:00:01 --name \"Unit A\" -o chip.bin\n"
        "  promtool set-name \"Bench 7\"\n");
}
}

int main(int argc, char* argv[])
{
    if (argc < 2)
    {
        Usage(stderr);
        return 1;
    }
    const char* pCommand = argv[1];
    if (0 == strcmp(pCommand, "-h") || 0 == strcmp(pCommand, "--help"))
    {
        Usage(stdout);
        return 0;
    }
    if (0 == strcmp(pCommand, "image"))
    {
        return PromImageCommand(argc - 2, argv + 2);
    }
    int Status = PromClientCommand(argc - 1, argv + 1);
    if (Status < 0)
    {
        fprintf(stderr, "Error: unknown command '%s'\n", pCommand);
        Usage(stderr);
        return 1;
    }
    return Status;
}
