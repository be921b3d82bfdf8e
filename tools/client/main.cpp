// opcda-client: a command-line OPC DA 1.0a client.
#include "client/Commands.h"

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    return RunClient(argc, argv);
}
