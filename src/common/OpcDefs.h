// The OPC DA 1.0a declarations (generated from idl/opcda.idl), result codes and
// the server's class identifier.
#pragma once
#include <windows.h>
#include <ole2.h>
#include "opcda.h"

#ifndef OPC_E_INVALIDHANDLE
#define OPC_E_INVALIDHANDLE    ((HRESULT)0xC0040001L)
#define OPC_E_BADTYPE          ((HRESULT)0xC0040004L)
#define OPC_E_PUBLIC           ((HRESULT)0xC0040005L)
#define OPC_E_BADRIGHTS        ((HRESULT)0xC0040006L)
#define OPC_E_UNKNOWNITEMID    ((HRESULT)0xC0040007L)
#define OPC_E_INVALIDITEMID    ((HRESULT)0xC0040008L)
#define OPC_E_INVALIDFILTER    ((HRESULT)0xC0040009L)
#define OPC_E_UNKNOWNPATH      ((HRESULT)0xC004000AL)
#define OPC_E_RANGE            ((HRESULT)0xC004000BL)
#define OPC_E_DUPLICATENAME    ((HRESULT)0xC004000CL)
#define OPC_S_UNSUPPORTEDRATE  ((HRESULT)0x0004000DL)
#define OPC_S_CLAMP            ((HRESULT)0x0004000EL)
#define OPC_S_INUSE            ((HRESULT)0x0004000FL)
#endif
#ifndef OPC_E_INVALIDCONFIGFILE
#define OPC_E_INVALIDCONFIGFILE ((HRESULT)0xC0040010L)
#define OPC_E_NOTFOUND          ((HRESULT)0xC0040011L)
#endif
#ifndef OPC_E_INVALID_PID
#define OPC_E_INVALID_PID      ((HRESULT)0xC0040203L)
#endif
#ifndef OPC_E_DEADBANDNOTSET
#define OPC_E_DEADBANDNOTSET           ((HRESULT)0xC0040400L)
#define OPC_E_DEADBANDNOTSUPPORTED     ((HRESULT)0xC0040401L)
#define OPC_E_NOBUFFERING              ((HRESULT)0xC0040402L)
#define OPC_E_INVALIDCONTINUATIONPOINT ((HRESULT)0xC0040403L)
#define OPC_S_DATAQUEUEOVERFLOW        ((HRESULT)0x00040404L)
#define OPC_E_RATENOTSET               ((HRESULT)0xC0040405L)
#define OPC_E_NOTSUPPORTED             ((HRESULT)0xC0040406L)
#endif

// {2720C8CC-C3A9-42F3-90D2-FAA16CC53782}: the Vantrel server class. Never changes.
extern "C" const CLSID CLSID_OPCServer;
// {1816A7B3-BCFE-4E9D-9CED-9FB33F242552}: the Vantrel type library.
extern "C" const GUID LIBID_VantrelLib;
// {63D5F430-CFE4-11D1-B2C8-0060083BA1FB}: "OPC Data Access Servers Version 1.0".
extern "C" const GUID CATID_OPCDAServer10;
// "OPC Data Access Servers Version 2.0" and "Version 3.0".
extern "C" const GUID CATID_OPCDAServer20;
extern "C" const GUID CATID_OPCDAServer30;
// {13486D51-4821-11D2-A494-3CB306C10000}: the standard OPC server list class.
extern "C" const CLSID CLSID_OPCServerList;

// {5C0B8D3E-7A41-4F96-B2E3-1D6F9A4C8E27}: the Vantrel test server class.
extern "C" const CLSID CLSID_OPCTestServer;

#define VANTREL_PROGID L"Korvell.Vantrel.1"
#define VANTREL_TEST_PROGID L"Korvell.Vantrel.Test.1"
#define VANTREL_TEST_VI_PROGID L"Korvell.Vantrel.Test"
#define VANTREL_VI_PROGID L"Korvell.Vantrel"
#define VANTREL_VENDOR L"Korvell"
