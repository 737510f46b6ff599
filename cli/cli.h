// The program's entry, called by the platform's start-up with the argument
// vector; what it returns is the process exit status.
#ifndef NETVANE_CLI_CLI_H
#define NETVANE_CLI_CLI_H

#include <stdint.h>

int32_t netvaneMain(int argc, char** argv);

// A lone "--version", "/version" or "-V". netvaneMain answers it with one
// line and reads no registry, so a platform's start-up need not open one.
bool isVersionRequest(int argc, char** argv);

// A run that can only read the registry: no arguments, a lone request for
// help, or a view (--show, --json). Any other may change it, so a platform's start-up may open the
// registry for changing from the start.
bool onlyReads(int argc, char** argv);

// Prints the usage text and then the adapter list; returns the list's status.
int32_t showUsage();

// Reads a number the forgiving way adapter numbers are read: the first digit,
// "+" or "-" starts it, and every later digit counts while other characters
// are skipped ("1x2" is 12). The result is 0 when there is no such character
// and negative when the digits do not fit in 32 bits.
int32_t parseNumber(const char* text);

#endif
