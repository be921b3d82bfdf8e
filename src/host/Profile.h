// Which class this process serves: the server (the specified one), or the
// test server (its own class, item set, device, tree and start-up), chosen by
// the switch the test class's LocalServer32 passes.
#pragma once
#include <windows.h>

class CAddrSpace;

// True when the command line holds the switch "-TestServer" (or "/TestServer").
bool ScanTestServer(const wchar_t* commandLine);
// Makes this process the test server's: its class is the one registered
// with COM, its item set, device and address space are the test ones, and
// sets 1 to 4 run. Called once, before serving.
void UseTestProfile();

HRESULT BuildTestAddressSpace(CAddrSpace** ppSpace);
