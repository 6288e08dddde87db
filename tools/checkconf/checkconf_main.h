// The configuration checker as a mode of the agent's program: `vtclient`
// runs it when started under the name vtclient-checkconf.
#pragma once

// vtclient-checkconf [--version] [FILE]. Returns the exit status: 0 clean,
// 1 warnings, 2 errors or a wrong command line.
int checkconf_main(int argc, char** argv);
