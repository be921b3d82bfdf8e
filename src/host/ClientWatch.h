// Reclaims what a client process held when that process ends without
// releasing it.
//
// Windows pings its clients and releases the references of a dead one after
// some minutes; under Wine nothing does, so a killed client's server object,
// groups, browse objects and enumerators would live (and be sampled and
// scanned) forever, and a server whose only client died would never end.
// Every object handed to a client records the client's process (the caller
// of the call that created it); a watch thread sees that process end and
// disconnects its objects, which drops the client's references exactly as
// if it had released them.
#pragma once
#include <windows.h>
#include <unknwn.h>

class CTracedRefCount;

// The process of the client whose call the current thread is serving, or 0
// (no call in progress: an in-process creation).
DWORD CallingClientProcess();

// Records an object created for the calling client, if there is one.
// identity: any interface of the object; refs: its reference count (used
// only while it is above 0); name: its trace name.
void TrackClientObject(IUnknown* identity, CTracedRefCount* refs, const wchar_t* name);
// Forgets the object: called when its reference count has fallen to 0 and
// before anything can take a new reference to it.
void UntrackClientObject(IUnknown* identity);

// The watch thread, between the start of serving and its end. With
// startedByCom, a process that still has had no client object after
// idleSeconds ends as if its last client had gone (COM under Wine may start
// one server per racing activation; the others would wait forever).
void StartClientWatch(bool startedByCom, DWORD idleSeconds = 30);
void StopClientWatch();

// Reclaims at once the objects of every client process that has ended; the
// watch thread calls it twice a second. Returns the number of objects
// disconnected.
size_t ReclaimEndedClients();
// Disconnects the objects of every client (the server is asked to end).
size_t DisconnectAllClients();
