// regtool's own source with its main renamed to regtoolMain, for the fuzz target to call.
#define main regtoolMain
#include "tools/regtool/regtool.cpp"
