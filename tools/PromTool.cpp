// promtool: the identity EEPROM's host and field tool (its command line:
// PromCommands).
#include "PromCommands.h"

int main(int argc, char* argv[])
{
    return PromToolMain(argc, argv);
}
