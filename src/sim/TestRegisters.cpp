#include "sim/TestRegisters.h"

#include <cwchar>

namespace {
struct CTypeName {
    const wchar_t* name;
    VARTYPE vt;
};
// The sixteen types of echo and random, in the tree's order.
const CTypeName kTypes[] = {{L"bool", VT_BOOL}, {L"i1", VT_I1},       {L"ui1", VT_UI1},   {L"i2", VT_I2},
                            {L"ui2", VT_UI2},   {L"i4", VT_I4},       {L"ui4", VT_UI4},   {L"i8", VT_I8},
                            {L"ui8", VT_UI8},   {L"int", VT_INT},     {L"uint", VT_UINT}, {L"r4", VT_R4},
                            {L"r8", VT_R8},     {L"cy", VT_CY},       {L"date", VT_DATE}, {L"string", VT_BSTR}};

const DWORD kRW = OPC_READABLE | OPC_WRITEABLE;

std::vector<CRegisterDef> MakeRegisters()
{
    std::vector<CRegisterDef> r;
    for (const wchar_t* family : {L"echo", L"random"}) {
        const bool echo = family[0] == L'e';
        for (bool array : {false, true}) {
            for (const CTypeName& t : kTypes) {
                std::wstring id = std::wstring(family) + (array ? L".array." : L".") + t.name;
                std::wstring what = std::wstring(array ? L"one-dimensional array of " : L"") + t.name;
                r.push_back({id, static_cast<VARTYPE>(array ? (VT_ARRAY | t.vt) : t.vt),
                             echo ? kRW : static_cast<DWORD>(OPC_READABLE),
                             echo ? RegisterBehaviour::kEcho : RegisterBehaviour::kRandom, OPC_QUALITY_GOOD,
                             echo ? L"Echo " + what + L": reads back the last value written"
                                  : L"Random " + what + L": a new value every device pass"});
            }
        }
    }
    r.push_back({L"faults.read_error", VT_I4, OPC_READABLE, RegisterBehaviour::kReadError, OPC_QUALITY_BAD,
                 L"Every read fails with E_FAIL (0x80004005) and BAD quality; data changes carry BAD quality"});
    r.push_back({L"faults.write_error", VT_I4, kRW, RegisterBehaviour::kWriteError, OPC_QUALITY_GOOD,
                 L"Readable (42); every write fails with E_FAIL (0x80004005)"});
    r.push_back({L"faults.write_only", VT_I4, OPC_WRITEABLE, RegisterBehaviour::kWriteOnly, OPC_QUALITY_GOOD,
                 L"Writable only: writes succeed, reads fail with OPC_E_BADRIGHTS"});
    r.push_back({L"faults.bad", VT_R8, OPC_READABLE, RegisterBehaviour::kFixedQuality, 0x18,
                 L"1.5 with quality BAD, comm failure (0x18), always"});
    r.push_back({L"faults.uncertain", VT_R8, OPC_READABLE, RegisterBehaviour::kFixedQuality, 0x44,
                 L"2.5 with quality UNCERTAIN, last usable (0x44), always"});
    r.push_back({L"faults.random_quality", VT_R8, OPC_READABLE, RegisterBehaviour::kRandomQuality, OPC_QUALITY_GOOD,
                 L"A changing value whose quality cycles through GOOD, UNCERTAIN and BAD with sub-statuses and "
                 L"limits, one step a second"});
    r.push_back({L"faults.value", VT_R8, kRW, RegisterBehaviour::kQualityValue, OPC_QUALITY_GOOD,
                 L"An echo whose quality is the one last written to faults.quality"});
    r.push_back({L"faults.quality", VT_UI2, kRW, RegisterBehaviour::kQualitySource, OPC_QUALITY_GOOD,
                 L"Writing an OPC quality here makes faults.value report it"});
    return r;
}

// VT_INT and VT_UINT as the platform converts them: through their 32-bit forms.
VARTYPE ConversionType(VARTYPE vt)
{
    if (vt == VT_INT)
        return VT_I4;
    if (vt == VT_UINT)
        return VT_UI4;
    return vt;
}

HRESULT ConvertScalar(const VARIANT& in, VARTYPE vt, VARIANT* out)
{
    VARIANT source;
    VariantInit(&source);
    HRESULT hr = VariantCopyInd(&source, const_cast<VARIANT*>(&in));
    if (FAILED(hr))
        return hr;
    if (source.vt == VT_INT)
        source.vt = VT_I4;
    else if (source.vt == VT_UINT)
        source.vt = VT_UI4;
    if (source.vt & VT_ARRAY) {
        VariantClear(&source);
        return DISP_E_TYPEMISMATCH;
    }
    // A NaN or an infinity has no integer, currency or date form (the
    // platform would give some number): refused as out of range.
    const double real = source.vt == VT_R8 ? source.dblVal : source.vt == VT_R4 ? source.fltVal : 0.0;
    const VARTYPE target = ConversionType(vt);
    if ((real != real || real - real != 0.0) && target != VT_R8 && target != VT_R4 && target != VT_BSTR &&
        target != VT_VARIANT)
        return DISP_E_OVERFLOW;
    hr = VariantChangeType(out, &source, 0, ConversionType(vt));
    VariantClear(&source);
    if (SUCCEEDED(hr))
        out->vt = vt;
    return hr;
}

// The element i of a one-dimensional array as a VARIANT.
HRESULT ElementOf(SAFEARRAY* sa, VARTYPE elementType, LONG i, VARIANT* out)
{
    VariantInit(out);
    if (elementType == VT_VARIANT)
        return SafeArrayGetElement(sa, &i, out);
    if (elementType == VT_BSTR) {
        BSTR s = nullptr;
        HRESULT hr = SafeArrayGetElement(sa, &i, &s);
        if (SUCCEEDED(hr)) {
            out->vt = VT_BSTR;
            out->bstrVal = s;
        }
        return hr;
    }
    if (elementType == VT_DISPATCH || elementType == VT_UNKNOWN || elementType == VT_RECORD)
        return DISP_E_TYPEMISMATCH;
    HRESULT hr = SafeArrayGetElement(sa, &i, &out->llVal);
    if (SUCCEEDED(hr))
        out->vt = elementType;
    return hr;
}

HRESULT ConvertArray(const VARIANT& in, VARTYPE vt, VARIANT* out)
{
    const VARTYPE element = vt & VT_TYPEMASK;
    SAFEARRAY* source = (in.vt & VT_BYREF) ? (in.pparray ? *in.pparray : nullptr) : in.parray;
    if (!(in.vt & VT_ARRAY))
        return DISP_E_TYPEMISMATCH;
    if (!source)
        return E_INVALIDARG;
    if (SafeArrayGetDim(source) != 1)
        return E_INVALIDARG;
    VARTYPE sourceType = VT_EMPTY;
    HRESULT hr = SafeArrayGetVartype(source, &sourceType);
    if (FAILED(hr))
        return hr;
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(source, 1, &lower);
    SafeArrayGetUBound(source, 1, &upper);
    const LONGLONG n = static_cast<LONGLONG>(upper) - lower + 1;
    if (n < 0 || n > static_cast<LONGLONG>(kMaxArrayLength))
        return E_INVALIDARG;
    SAFEARRAYBOUND bound = {static_cast<ULONG>(n), lower};
    SAFEARRAY* result = SafeArrayCreate(element, 1, &bound);
    if (!result)
        return E_OUTOFMEMORY;
    for (LONG i = lower; SUCCEEDED(hr) && i <= upper; ++i) {
        VARIANT e, converted;
        VariantInit(&converted);
        hr = ElementOf(source, sourceType, i, &e);
        if (SUCCEEDED(hr))
            hr = ConvertScalar(e, element, &converted);
        if (SUCCEEDED(hr))
            hr = element == VT_BSTR ? SafeArrayPutElement(result, &i, converted.bstrVal)
                                    : SafeArrayPutElement(result, &i, &converted.llVal);
        VariantClear(&e);
        VariantClear(&converted);
    }
    if (FAILED(hr)) {
        SafeArrayDestroy(result);
        return hr;
    }
    out->vt = vt;
    out->parray = result;
    return S_OK;
}

unsigned int Next(unsigned int* seed)
{
    *seed = *seed * 1103515245u + 12345u;
    return (*seed >> 8) & 0xFFFFFF;
}

void RandomScalar(VARTYPE vt, unsigned int* seed, VARIANT* v)
{
    const unsigned int r = Next(seed);
    const unsigned int r2 = Next(seed);
    v->vt = vt;
    switch (vt) {
    case VT_BOOL: v->boolVal = (r & 1) ? VARIANT_TRUE : VARIANT_FALSE; break;
    case VT_I1: v->cVal = static_cast<CHAR>(r & 0xFF); break;
    case VT_UI1: v->bVal = static_cast<BYTE>(r & 0xFF); break;
    case VT_I2: v->iVal = static_cast<SHORT>(r & 0xFFFF); break;
    case VT_UI2: v->uiVal = static_cast<USHORT>(r & 0xFFFF); break;
    case VT_I4: case VT_INT: v->lVal = static_cast<LONG>((r << 8) ^ r2); break;
    case VT_UI4: case VT_UINT: v->ulVal = (r << 8) ^ r2; break;
    case VT_I8: v->llVal = static_cast<LONGLONG>((static_cast<ULONGLONG>(r) << 40) ^ (static_cast<ULONGLONG>(r2) << 16) ^ r); break;
    case VT_UI8: v->ullVal = (static_cast<ULONGLONG>(r) << 40) ^ (static_cast<ULONGLONG>(r2) << 16) ^ r2; break;
    case VT_R4: v->fltVal = static_cast<float>(r) / 1000.0f - 8000.0f; break;
    case VT_R8: v->dblVal = static_cast<double>(r) / 1000.0 - 8000.0 + r2 / 16777216.0; break;
    case VT_CY: v->cyVal.int64 = static_cast<LONGLONG>(r) * 100 - 800000000LL; break;
    case VT_DATE: v->date = 40000.0 + (r % 20000) + (r2 % 86400000) / 86400000.0; break;
    case VT_BSTR: {
        wchar_t text[32];
        swprintf(text, 32, L"random %u", r);
        v->bstrVal = SysAllocString(text);
        if (!v->bstrVal)
            v->vt = VT_EMPTY;
        break;
    }
    default: v->vt = VT_EMPTY; break;
    }
}
}  // namespace

const std::vector<CRegisterDef>& TestRegisters()
{
    static const std::vector<CRegisterDef> registers = MakeRegisters();
    return registers;
}

int FindRegister(const wchar_t* itemID)
{
    if (!itemID)
        return -1;
    const auto& r = TestRegisters();
    for (size_t i = 0; i < r.size(); ++i)
        if (r[i].itemID == itemID)
            return static_cast<int>(i);
    return -1;
}

HRESULT ConvertToRegisterType(const VARIANT& in, VARTYPE vt, VARIANT* out)
{
    VariantInit(out);
    return (vt & VT_ARRAY) ? ConvertArray(in, vt, out) : ConvertScalar(in, vt, out);
}

void InitialRegisterValue(const CRegisterDef& def, VARIANT* out)
{
    VariantInit(out);
    VARIANT scalar;
    VariantInit(&scalar);
    const VARTYPE element = def.vt & VT_TYPEMASK;
    scalar.vt = element;
    switch (element) {
    case VT_BOOL: scalar.boolVal = VARIANT_TRUE; break;
    case VT_I1: scalar.cVal = -12; break;
    case VT_UI1: scalar.bVal = 200; break;
    case VT_I2: scalar.iVal = -1234; break;
    case VT_UI2: scalar.uiVal = 54321; break;
    case VT_I4: scalar.lVal = def.behaviour == RegisterBehaviour::kWriteError ? 42 : -123456; break;
    case VT_UI4: scalar.ulVal = 3000000000u; break;
    case VT_I8: scalar.llVal = -9000000000LL; break;
    case VT_UI8: scalar.ullVal = 18000000000ULL; break;
    case VT_INT: scalar.intVal = -7; break;
    case VT_UINT: scalar.uintVal = 7; break;
    case VT_R4: scalar.fltVal = 3.25f; break;
    case VT_R8: scalar.dblVal = def.behaviour == RegisterBehaviour::kFixedQuality
                                    ? (def.quality == 0x18 ? 1.5 : 2.5)
                                    : 123.456;
        break;
    case VT_CY: scalar.cyVal.int64 = 123456; break;            // 12.3456
    case VT_DATE: scalar.date = 46024.128530995370; break;     // 2026-01-02 03:05:05.078
    case VT_BSTR: scalar.bstrVal = SysAllocString(L"Vantrel"); break;
    default: scalar.vt = VT_EMPTY; break;
    }
    if (element == VT_UI2 && def.behaviour == RegisterBehaviour::kQualitySource)
        scalar.uiVal = OPC_QUALITY_GOOD;
    if (!(def.vt & VT_ARRAY)) {
        *out = scalar;
        return;
    }
    // Arrays: three elements, the value, its double (or its copy) and the value again.
    SAFEARRAYBOUND bound = {3, 0};
    SAFEARRAY* sa = SafeArrayCreate(element, 1, &bound);
    if (sa) {
        for (LONG i = 0; i < 3; ++i)
            SafeArrayPutElement(sa, &i, element == VT_BSTR ? static_cast<void*>(scalar.bstrVal) : &scalar.llVal);
        out->vt = def.vt;
        out->parray = sa;
    }
    VariantClear(&scalar);
}

void RandomValue(VARTYPE vt, unsigned int* seed, VARIANT* out)
{
    VariantInit(out);
    if (!(vt & VT_ARRAY)) {
        RandomScalar(vt, seed, out);
        return;
    }
    const VARTYPE element = vt & VT_TYPEMASK;
    SAFEARRAYBOUND bound = {kRandomArrayLength, 0};
    SAFEARRAY* sa = SafeArrayCreate(element, 1, &bound);
    if (!sa)
        return;
    for (LONG i = 0; i < static_cast<LONG>(kRandomArrayLength); ++i) {
        VARIANT e;
        RandomScalar(element, seed, &e);
        SafeArrayPutElement(sa, &i, element == VT_BSTR ? static_cast<void*>(e.bstrVal) : &e.llVal);
        VariantClear(&e);
    }
    out->vt = vt;
    out->parray = sa;
}
