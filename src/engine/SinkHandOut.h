// A client's sink handed back to the client in IEnumConnections::Next.
//
// Under Wine (8.0) the reply of IEnumConnections::Next comes out wrong when an
// element's pUnk is a proxy: the runtime sizes a proxy's reference as its
// marshal data plus a whole OBJREF (the proxy answers IMarshal), writes only
// the marshal data, and its engine places what follows an interface pointer
// inside an array of structures by the size it estimated. The client then
// read the result and the count from the gap (a result of 2, or bytes of an
// IID, and a count of 0). Objects without IMarshal are sized exactly.
//
// The hand-out marshals the sink's own reference (the client unmarshals its
// own object, as it would from the proxy) and pads it to exactly the size
// the runtime estimated for it, so that every byte after it is where both
// sides expect it.
#pragma once
#include <windows.h>
#include <objbase.h>

// What to put into CONNECTDATA::pUnk for sink (one reference, the caller's):
// under Wine, for a proxy, a hand-out object that marshals as described;
// otherwise the sink itself.
IUnknown* HandOutSink(IUnknown* sink);
