#include "client/Format.h"

#include "common/OpcDefs.h"

#include <olectl.h>

#include <cwchar>

namespace {
struct Named {
    HRESULT hr;
    const wchar_t* name;
};
const Named kNames[] = {
    {S_OK, L"S_OK"},
    {S_FALSE, L"S_FALSE"},
    {E_NOTIMPL, L"E_NOTIMPL"},
    {E_NOINTERFACE, L"E_NOINTERFACE"},
    {E_POINTER, L"E_POINTER"},
    {E_FAIL, L"E_FAIL"},
    {E_INVALIDARG, L"E_INVALIDARG"},
    {E_OUTOFMEMORY, L"E_OUTOFMEMORY"},
    {OLE_E_NOCONNECTION, L"OLE_E_NOCONNECTION"},
    {DV_E_FORMATETC, L"DV_E_FORMATETC"},
    {DV_E_LINDEX, L"DV_E_LINDEX"},
    {CLASS_E_NOAGGREGATION, L"CLASS_E_NOAGGREGATION"},
    {REGDB_E_CLASSNOTREG, L"REGDB_E_CLASSNOTREG"},
    {CO_E_CLASSSTRING, L"CO_E_CLASSSTRING"},
    {CO_E_SERVER_EXEC_FAILURE, L"CO_E_SERVER_EXEC_FAILURE"},
    {RPC_E_DISCONNECTED, L"RPC_E_DISCONNECTED"},
    {CO_E_OBJNOTCONNECTED, L"CO_E_OBJNOTCONNECTED"},
    {DISP_E_TYPEMISMATCH, L"DISP_E_TYPEMISMATCH"},
    {DISP_E_OVERFLOW, L"DISP_E_OVERFLOW"},
    {DISP_E_BADVARTYPE, L"DISP_E_BADVARTYPE"},
    {OPC_E_INVALIDHANDLE, L"OPC_E_INVALIDHANDLE"},
    {OPC_E_BADTYPE, L"OPC_E_BADTYPE"},
    {OPC_E_PUBLIC, L"OPC_E_PUBLIC"},
    {OPC_E_BADRIGHTS, L"OPC_E_BADRIGHTS"},
    {OPC_E_UNKNOWNITEMID, L"OPC_E_UNKNOWNITEMID"},
    {OPC_E_INVALIDITEMID, L"OPC_E_INVALIDITEMID"},
    {OPC_E_INVALIDFILTER, L"OPC_E_INVALIDFILTER"},
    {OPC_E_UNKNOWNPATH, L"OPC_E_UNKNOWNPATH"},
    {OPC_E_RANGE, L"OPC_E_RANGE"},
    {OPC_E_DUPLICATENAME, L"OPC_E_DUPLICATENAME"},
    {OPC_S_UNSUPPORTEDRATE, L"OPC_S_UNSUPPORTEDRATE"},
    {OPC_S_CLAMP, L"OPC_S_CLAMP"},
    {OPC_S_INUSE, L"OPC_S_INUSE"},
    {OPC_E_INVALID_PID, L"OPC_E_INVALID_PID"},
    {OPC_E_DEADBANDNOTSET, L"OPC_E_DEADBANDNOTSET"},
    {OPC_E_DEADBANDNOTSUPPORTED, L"OPC_E_DEADBANDNOTSUPPORTED"},
    {OPC_E_NOBUFFERING, L"OPC_E_NOBUFFERING"},
    {OPC_E_INVALIDCONTINUATIONPOINT, L"OPC_E_INVALIDCONTINUATIONPOINT"},
    {OPC_S_DATAQUEUEOVERFLOW, L"OPC_S_DATAQUEUEOVERFLOW"},
    {OPC_E_RATENOTSET, L"OPC_E_RATENOTSET"},
    {OPC_E_NOTSUPPORTED, L"OPC_E_NOTSUPPORTED"},
    {CONNECT_E_NOCONNECTION, L"CONNECT_E_NOCONNECTION"},
    {CONNECT_E_ADVISELIMIT, L"CONNECT_E_ADVISELIMIT"},
    {CONNECT_E_CANNOTCONNECT, L"CONNECT_E_CANNOTCONNECT"},
};

struct TypeName {
    VARTYPE vt;
    const wchar_t* name;
};
const TypeName kTypes[] = {{VT_EMPTY, L"EMPTY"}, {VT_I2, L"I2"},     {VT_I4, L"I4"},     {VT_R4, L"R4"},
                           {VT_R8, L"R8"},       {VT_DATE, L"DATE"}, {VT_BSTR, L"BSTR"}, {VT_BOOL, L"BOOL"},
                           {VT_I1, L"I1"},       {VT_UI1, L"UI1"},   {VT_UI2, L"UI2"},   {VT_UI4, L"UI4"},
                           {VT_I8, L"I8"},       {VT_UI8, L"UI8"},   {VT_ERROR, L"ERROR"}, {VT_CY, L"CY"}};
}  // namespace

std::wstring HResultText(HRESULT hr)
{
    wchar_t buf[32];
    swprintf(buf, 32, L"0x%08lX", static_cast<unsigned long>(hr));
    std::wstring text = buf;
    for (const Named& n : kNames) {
        if (n.hr == hr)
            return text + L" " + n.name;
    }
    return text;
}

std::wstring VarTypeText(VARTYPE vt)
{
    std::wstring prefix = (vt & VT_ARRAY) ? L"ARRAY|" : L"";
    VARTYPE base = vt & ~VT_ARRAY;
    for (const TypeName& t : kTypes) {
        if (t.vt == base)
            return prefix + t.name;
    }
    return prefix + std::to_wstring(base);
}

bool ParseVarType(const std::wstring& text, VARTYPE* vt)
{
    if (text.empty()) {
        *vt = VT_EMPTY;
        return true;
    }
    std::wstring t = text;
    if (t.size() > 3 && (t.compare(0, 3, L"VT_") == 0 || t.compare(0, 3, L"vt_") == 0))
        t = t.substr(3);
    for (const TypeName& n : kTypes) {
        if (_wcsicmp(n.name, t.c_str()) == 0) {
            *vt = n.vt;
            return true;
        }
    }
    return false;
}

std::wstring ValueText(const VARIANT& v, bool precise)
{
    if (v.vt == VT_EMPTY)
        return L"(empty)";
    if (v.vt == VT_BOOL)
        return v.boolVal ? L"true" : L"false";
    if (v.vt & VT_ARRAY) {
        std::wstring out = L"[";
        LONG lb = 0, ub = -1;
        SafeArrayGetLBound(v.parray, 1, &lb);
        SafeArrayGetUBound(v.parray, 1, &ub);
        for (LONG i = lb; i <= ub; ++i) {
            VARIANT e;
            VariantInit(&e);
            e.vt = v.vt & ~VT_ARRAY;
            SafeArrayGetElement(v.parray, &i, &e.byref);
            if (i > lb)
                out += L", ";
            out += ValueText(e, precise);
            VariantClear(&e);
        }
        return out + L"]";
    }
    if (v.vt == VT_R8) {
        wchar_t buf[64];
        swprintf(buf, 64, precise ? L"%.17g" : L"%.10g", v.dblVal);
        return buf;
    }
    VARIANT text;
    VariantInit(&text);
    if (FAILED(VariantChangeType(&text, const_cast<VARIANT*>(&v), 0, VT_BSTR)))
        return L"(" + VarTypeText(v.vt) + L")";
    std::wstring out = text.bstrVal ? text.bstrVal : L"";
    VariantClear(&text);
    return out;
}

std::wstring QualityText(WORD q)
{
    const wchar_t* name = L"";
    switch (q & OPC_STATUS_MASK) {
    case OPC_QUALITY_GOOD: name = L"GOOD"; break;
    case OPC_QUALITY_BAD: name = L"BAD"; break;
    case OPC_QUALITY_OUT_OF_SERVICE: name = L"BAD OUT_OF_SERVICE"; break;
    case OPC_QUALITY_UNCERTAIN: name = L"UNCERTAIN"; break;
    case OPC_QUALITY_LOCAL_OVERRIDE: name = L"GOOD LOCAL_OVERRIDE"; break;
    default: name = (q & OPC_QUALITY_MASK) == OPC_QUALITY_GOOD ? L"GOOD" : (q & OPC_QUALITY_MASK) ? L"UNCERTAIN" : L"BAD";
    }
    wchar_t buf[64];
    swprintf(buf, 64, L"0x%02X %ls", q, name);
    return buf;
}

std::wstring FileTimeText(const FILETIME& ft, bool local)
{
    if (ft.dwLowDateTime == 0 && ft.dwHighDateTime == 0)
        return L"(never)";
    SYSTEMTIME st;
    FILETIME lft = ft;
    if (local)
        FileTimeToLocalFileTime(&ft, &lft);
    FileTimeToSystemTime(&lft, &st);
    wchar_t buf[64];
    swprintf(buf, 64, L"%04u-%02u-%02u %02u:%02u:%02u.%03u%ls", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
             st.wSecond, st.wMilliseconds, local ? L"" : L"Z");
    return buf;
}
