// opcda-client: a command-line OPC DA client (2.0, or 1.0a with --da1).
#include "client/Commands.h"

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    return RunClient(argc, argv);
}
