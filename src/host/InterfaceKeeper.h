// Keeps the RPC registration of every interface the server hands out alive
// for the life of the process.
//
// Under Wine, COM unregisters an interface ID from the RPC runtime when the
// last stub of that ID in the process goes, waiting for the calls on it that
// are still in progress; that wait can miss its wake-up (the reply of the
// previous call goes out before the call is counted as finished), and the
// release that took the last stub then never returns, holding the lock every
// later marshalling needs. A group lifecycle took that path for every group
// interface. One stub of each interface held from start to end means the
// last-stub path is never taken.
#pragma once
#include <windows.h>
#include <objbase.h>

// The interfaces the server's objects hand out to clients.
extern const IID* const g_servedInterfaces[];
extern const size_t g_servedInterfaceCount;

// Marshals a private object once for each served interface (table-strong,
// never unmarshalled by anyone): the server's, or the given list of another
// program's. Called in the apartment before any client can connect. Returns
// the first failure, S_OK otherwise.
HRESULT KeepInterfacesRegistered();
HRESULT KeepInterfacesRegistered(const IID* const* interfaces, size_t count);

// Disconnects the private object (COM's disconnection does not wait for calls
// in progress), at the end of serving.
void ReleaseKeptInterfaces();
