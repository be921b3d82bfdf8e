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
                           {VT_I8, L"I8"},       {VT_UI8, L"UI8"},   {VT_ERROR, L"ERROR"}, {VT_CY, L"CY"},
                           {VT_INT, L"INT"},     {VT_UINT, L"UINT"}, {VT_VARIANT, L"VARIANT"}};
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
            if ((v.vt & VT_TYPEMASK) == VT_VARIANT) {
                SafeArrayGetElement(v.parray, &i, &e);  // a whole VARIANT
            } else if ((v.vt & VT_TYPEMASK) == VT_DECIMAL) {
                SafeArrayGetElement(v.parray, &i, &e.decVal);  // over the type: set after
                e.vt = VT_DECIMAL;
            } else {
                e.vt = v.vt & ~VT_ARRAY;
                SafeArrayGetElement(v.parray, &i, &e.byref);
            }
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
    if (v.vt == VT_DATE)
        return IsoDateText(v.date);
    if (v.vt == VT_CY) {  // exactly: four decimals
        wchar_t buf[64];
        const LONGLONG n = v.cyVal.int64;
        const ULONGLONG a = n < 0 ? 0ULL - static_cast<ULONGLONG>(n) : static_cast<ULONGLONG>(n);
        swprintf(buf, 64, L"%ls%I64u.%04I64u", n < 0 ? L"-" : L"", a / 10000, a % 10000);
        return buf;
    }
    if (v.vt == VT_INT || v.vt == VT_UINT) {
        wchar_t buf[32];
        if (v.vt == VT_INT)
            swprintf(buf, 32, L"%d", v.intVal);
        else
            swprintf(buf, 32, L"%u", v.uintVal);
        return buf;
    }
    if (v.vt == VT_BSTR)
        return v.bstrVal ? v.bstrVal : L"";
    VARIANT text;
    VariantInit(&text);
    if (FAILED(VariantChangeType(&text, const_cast<VARIANT*>(&v), 0, VT_BSTR)))
        return L"(" + VarTypeText(v.vt) + L")";
    std::wstring out = text.bstrVal ? text.bstrVal : L"";
    VariantClear(&text);
    return out;
}

std::wstring IsoDateText(DATE d)
{
    // Whole milliseconds of the day, rounded; days from 1899-12-30.
    const double dayMs = 86400000.0;
    LONGLONG ms = static_cast<LONGLONG>(d * dayMs + (d >= 0 ? 0.5 : -0.5));
    // OLE dates before day 0 count the time forwards within the day.
    LONGLONG days = ms / static_cast<LONGLONG>(dayMs);
    LONGLONG rest = ms % static_cast<LONGLONG>(dayMs);
    if (rest < 0)
        rest = -rest;
    SYSTEMTIME st = {};
    VariantTimeToSystemTime(static_cast<double>(days), &st);
    wchar_t buf[64];
    swprintf(buf, 64, L"%04u-%02u-%02uT%02u:%02u:%02u.%03u", st.wYear, st.wMonth, st.wDay,
             static_cast<unsigned>(rest / 3600000), static_cast<unsigned>(rest / 60000 % 60),
             static_cast<unsigned>(rest / 1000 % 60), static_cast<unsigned>(rest % 1000));
    return buf;
}

bool ParseIsoDate(const std::wstring& text, DATE* out)
{
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
    wchar_t sep = 0;
    int n = swscanf(text.c_str(), L"%4u-%2u-%2u%lc%2u:%2u:%2u.%3u", &y, &mo, &d, &sep, &h, &mi, &s, &ms);
    if (n < 3 || (n > 3 && sep != L'T' && sep != L' ') || (n > 3 && n < 7))
        return false;
    SYSTEMTIME st = {};
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(mo);
    st.wDay = static_cast<WORD>(d);
    double day = 0;
    if (!SystemTimeToVariantTime(&st, &day))
        return false;
    *out = day + ((h * 3600.0 + mi * 60.0 + s) * 1000.0 + ms) / 86400000.0;
    return true;
}

bool SplitArrayText(const std::wstring& text, std::vector<std::wstring>* elements)
{
    std::wstring t = text;
    while (!t.empty() && t.front() == L' ')
        t.erase(0, 1);
    while (!t.empty() && t.back() == L' ')
        t.pop_back();
    if (t.size() < 2 || t.front() != L'[' || t.back() != L']')
        return false;
    t = t.substr(1, t.size() - 2);
    elements->clear();
    size_t start = 0;
    while (start <= t.size()) {
        size_t comma = t.find(L',', start);
        std::wstring e = t.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start);
        while (!e.empty() && e.front() == L' ')
            e.erase(0, 1);
        while (!e.empty() && e.back() == L' ')
            e.pop_back();
        if (!(e.empty() && comma == std::wstring::npos && elements->empty()))
            elements->push_back(e);
        if (comma == std::wstring::npos)
            break;
        start = comma + 1;
    }
    return true;
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
