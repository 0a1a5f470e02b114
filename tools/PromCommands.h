// PromCommands: promtool's whole command line, as a library function that
// the program's main (PromTool.cpp) and the fuzz targets call.
#ifndef TOOLS_PROMCOMMANDS_H
#define TOOLS_PROMCOMMANDS_H

// Runs the command line argv (argv[0]: the program's name) as promtool does
// and returns its exit status, standard output flushed (FinishOutput).
int PromToolMain(int argc, char* argv[]);

#endif
