// Start-up of the Windows build. The registry and the DHCP client are the
// system's own, so there is nothing to open or commit around the run.
#include "cli/cli.h"
#include "platform/platform.h"

#if defined(__MINGW32__)
// MinGW's runtime can expand "*" and "?" in the command line into file names
// before main runs, and whether it does is a toolchain default. Both are
// markers of this tool and must arrive as typed.
extern "C" int _dowildcard;
int _dowildcard = 0;
#endif

int main(int argc, char** argv) { return platformFinishOutput(netvaneMain(argc, argv)); }
