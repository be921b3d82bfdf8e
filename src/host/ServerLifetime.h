// When the server process may end, and the activations racing that end.
//
// The process lock count falling to 0 (UnlockModule) only says the process
// may end. The main thread then decides, in EndWhenStillIdle:
//   1. it lingers a moment: a client may be on its way to create an object
//      (under Wine a client can hold the class object, or be about to get
//      it, when the count falls: CoSuspendClassObjects does nothing there);
//   2. under the activation gate, if the count is still 0, it suspends and
//      revokes the class objects, so new activations start a new server;
//   3. it waits a little more for clients that got the class object before
//      the revocation; if one creates an object, the class objects are
//      registered again and the process goes on serving;
//   4. under the gate, with the count still 0, it marks the process as
//      stopping: a creation arriving after that answers CO_E_SERVER_STOPPING.
// Every creation takes the gate and counts in the process lock before it
// leaves it, so the decision and a creation never interleave.
#pragma once
#include <windows.h>

struct CLifetimeTimes {
    DWORD dwLingerMs;  // how long the count must stay 0 before the revocation
    DWORD dwDrainMs;   // how long after it, for clients holding the class object
};
extern const CLifetimeTimes kDefaultLifetimeTimes;

// Registers the served classes' objects with COM; the first failure is
// returned (and stops the loop).
HRESULT RegisterClassObjects();
void RevokeClassObjects();

// Called by the class factory before it makes an object: S_OK with one unit
// of the process lock taken (given back by EndActivation), or
// CO_E_SERVER_STOPPING once the process has decided to end.
HRESULT BeginActivation();
void EndActivation();

// Asks the process to end without lingering (the server was told to shut
// down): the class objects go at once and nothing brings them back.
void RequestEnd();

// The main thread's decision after a WM_QUIT: true when the process ends
// (class objects revoked, later creations refused); false when a client came
// and the process goes on serving. Each step is written to the trace.
bool EndWhenStillIdle(const CLifetimeTimes& times = kDefaultLifetimeTimes);

// The main thread's message loop: dispatches until a WM_QUIT after which
// EndWhenStillIdle decides the process ends.
void RunMessageLoop();

// Back to serving (tests that run the decision in-process).
void ResetLifetime();
