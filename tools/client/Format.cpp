#include "client/Format.h"

#include "common/OpcDefs.h"
#include "common/OpcErrors.h"

#include <olectl.h>

#include <cwchar>

namespace {
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
    if (const wchar_t* name = ResultCodeName(hr))
        text = text + L" " + name;
    if (FAILED(hr)) {
        std::wstring said = ResultCodeText(hr);
        while (!said.empty() && (said.back() == L'\n' || said.back() == L'\r' || said.back() == L' ' ||
                                 said.back() == L'.'))
            said.pop_back();
        if (!said.empty())
            text += L" (" + said + L")";
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
