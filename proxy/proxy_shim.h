/* Force-included into the generated proxy sources. mingw-w64 declares these
   three IUnknown proxy helpers only for C++; the C proxy code needs them and
   librpcrt4 provides them. */
#ifndef VANTREL_PROXY_SHIM_H
#define VANTREL_PROXY_SHIM_H
#include <rpc.h>
#include <rpcndr.h>
#include <unknwn.h>
#ifndef __cplusplus
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown *This, REFIID riid, void **ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown *This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown *This);
#endif
#endif
