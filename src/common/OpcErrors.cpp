#include "common/OpcErrors.h"

#include "common/OpcDefs.h"

#include <olectl.h>

namespace {
struct CCode {
    HRESULT hr;
    const wchar_t* name;
    const wchar_t* text;  // ours: OPC codes always, COM codes where the system may have none
};

const CCode kCodes[] = {
    {S_OK, L"S_OK", nullptr},
    {S_FALSE, L"S_FALSE", nullptr},
    {E_NOTIMPL, L"E_NOTIMPL", nullptr},
    {E_NOINTERFACE, L"E_NOINTERFACE", nullptr},
    {E_POINTER, L"E_POINTER", nullptr},
    {E_FAIL, L"E_FAIL", nullptr},
    {E_INVALIDARG, L"E_INVALIDARG", nullptr},
    {E_OUTOFMEMORY, L"E_OUTOFMEMORY", nullptr},
    {OLE_E_NOCONNECTION, L"OLE_E_NOCONNECTION", nullptr},
    {DV_E_FORMATETC, L"DV_E_FORMATETC", nullptr},
    {DV_E_LINDEX, L"DV_E_LINDEX", nullptr},
    {CLASS_E_NOAGGREGATION, L"CLASS_E_NOAGGREGATION", nullptr},
    {REGDB_E_CLASSNOTREG, L"REGDB_E_CLASSNOTREG", nullptr},
    {CO_E_CLASSSTRING, L"CO_E_CLASSSTRING", nullptr},
    {CO_E_SERVER_EXEC_FAILURE, L"CO_E_SERVER_EXEC_FAILURE", nullptr},
    {CO_E_SERVER_STOPPING, L"CO_E_SERVER_STOPPING", nullptr},
    {RPC_E_DISCONNECTED, L"RPC_E_DISCONNECTED", nullptr},
    {CO_E_OBJNOTCONNECTED, L"CO_E_OBJNOTCONNECTED", nullptr},
    {DISP_E_TYPEMISMATCH, L"DISP_E_TYPEMISMATCH", nullptr},
    {DISP_E_OVERFLOW, L"DISP_E_OVERFLOW", nullptr},
    {DISP_E_BADVARTYPE, L"DISP_E_BADVARTYPE", nullptr},
    {CONNECT_E_NOCONNECTION, L"CONNECT_E_NOCONNECTION", L"There is no connection for this connection ID."},
    {CONNECT_E_ADVISELIMIT, L"CONNECT_E_ADVISELIMIT", L"This connection point has all the connections it takes."},
    {CONNECT_E_CANNOTCONNECT, L"CONNECT_E_CANNOTCONNECT", L"The sink does not support the connection point's interface."},
    {OPC_E_INVALIDHANDLE, L"OPC_E_INVALIDHANDLE", L"The value of the handle is invalid."},
    {OPC_E_BADTYPE, L"OPC_E_BADTYPE", L"The server cannot convert the data between the requested data type and the canonical data type."},
    {OPC_E_PUBLIC, L"OPC_E_PUBLIC", L"The requested operation cannot be done on a public group."},
    {OPC_E_BADRIGHTS, L"OPC_E_BADRIGHTS", L"The item's access rights do not allow the operation."},
    {OPC_E_UNKNOWNITEMID, L"OPC_E_UNKNOWNITEMID", L"The item ID is not defined in the server's address space."},
    {OPC_E_INVALIDITEMID, L"OPC_E_INVALIDITEMID", L"The item ID does not conform to the server's syntax."},
    {OPC_E_INVALIDFILTER, L"OPC_E_INVALIDFILTER", L"The filter string was not valid."},
    {OPC_E_UNKNOWNPATH, L"OPC_E_UNKNOWNPATH", L"The item's access path is not known to the server."},
    {OPC_E_RANGE, L"OPC_E_RANGE", L"The value was out of range."},
    {OPC_E_DUPLICATENAME, L"OPC_E_DUPLICATENAME", L"Duplicate name not allowed."},
    {OPC_S_UNSUPPORTEDRATE, L"OPC_S_UNSUPPORTEDRATE", L"The server does not support the requested rate; it uses the closest one it does."},
    {OPC_S_CLAMP, L"OPC_S_CLAMP", L"A value passed to write was accepted but the output was clamped."},
    {OPC_S_INUSE, L"OPC_S_INUSE", L"The operation cannot be done because the object is still referenced."},
    {OPC_E_INVALIDCONFIGFILE, L"OPC_E_INVALIDCONFIGFILE", L"The server's configuration file is an invalid format."},
    {OPC_E_NOTFOUND, L"OPC_E_NOTFOUND", L"The requested object was not found."},
    {OPC_E_INVALID_PID, L"OPC_E_INVALID_PID", L"The property ID is not valid for the item."},
    {OPC_E_DEADBANDNOTSET, L"OPC_E_DEADBANDNOTSET", L"The item deadband has not been set for this item."},
    {OPC_E_DEADBANDNOTSUPPORTED, L"OPC_E_DEADBANDNOTSUPPORTED", L"The item does not support a deadband."},
    {OPC_E_NOBUFFERING, L"OPC_E_NOBUFFERING", L"The server does not support buffering of data items collected faster than the update rate."},
    {OPC_E_INVALIDCONTINUATIONPOINT, L"OPC_E_INVALIDCONTINUATIONPOINT", L"The continuation point is not valid."},
    {OPC_S_DATAQUEUEOVERFLOW, L"OPC_S_DATAQUEUEOVERFLOW", L"Not every value was delivered: the buffer of sampled values was full."},
    {OPC_E_RATENOTSET, L"OPC_E_RATENOTSET", L"There is no sampling rate set for the item."},
    {OPC_E_NOTSUPPORTED, L"OPC_E_NOTSUPPORTED", L"The server does not support writing of quality and/or time stamp."},
};

const CCode* Find(HRESULT hr)
{
    for (const CCode& c : kCodes)
        if (c.hr == hr)
            return &c;
    return nullptr;
}

bool IsOpcCode(HRESULT hr) { return HRESULT_FACILITY(hr) == FACILITY_ITF && (HRESULT_CODE(hr) & 0xF000) == 0; }

std::wstring SystemText(HRESULT hr, LANGID language)
{
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, static_cast<DWORD>(hr), language, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    if (n == 0 && language != 0)
        n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring out = (n && text) ? text : L"";
    if (text)
        LocalFree(text);
    return out;
}
}  // namespace

bool g_bOpcTextsInServerErrorString = false;

const wchar_t* ResultCodeName(HRESULT hr)
{
    const CCode* c = Find(hr);
    return c ? c->name : nullptr;
}

std::wstring ResultCodeText(HRESULT hr, LANGID language)
{
    const CCode* c = Find(hr);
    if (c && c->text && IsOpcCode(hr))
        return c->text;
    std::wstring system = SystemText(hr, language);
    if (system.empty() && c && c->text)
        return c->text;
    return system;
}
