#include "common/OPCGlob.h"

#include "common/ComUtil.h"
#include "common/Trace.h"
#include "core/IdMgr.h"

#include <cstring>
#include <cwchar>

namespace {
LONGLONG ComputeTicksPerMs()
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart / 1000;
}
}  // namespace

LONGLONG TicksPerMs()
{
    static const LONGLONG rate = ComputeTicksPerMs();
    return rate;
}

const LONGLONG g_ticksPerMs = TicksPerMs();

const UINT g_cfData = RegisterClipboardFormatW(L"OPCSTMFORMATDATA");
const UINT g_cfDataTime = RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME");
const UINT g_cfWriteComplete = RegisterClipboardFormatW(L"OPCSTMFORMATWRITECOMPLETE");

wchar_t* MakeDefaultGroupName(wchar_t* buffer, unsigned long* pId)
{
    unsigned long id = g_idMgr.Allocate();
    *pId = id;
    wchar_t digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<wchar_t>(L'0' + id % 10);
        id /= 10;
    } while (id != 0 && n < 19);
    digits[n] = L'\0';
    wcscpy(buffer, L"$Group_");
    wcscat(buffer, digits);  // least significant digit first, as it always was
    wcscat(buffer, L"$");
    return buffer;
}

HRESULT DetachVariant(VARIANT* source, VARIANT* destination)
{
    HRESULT hr = VariantClear(destination);
    if (FAILED(hr))
        return hr;
    memcpy(destination, source, sizeof(VARIANT));
    source->vt = VT_EMPTY;
    return S_OK;
}

HRESULT ChangeVariantType(VARIANT* variant, VARTYPE vt, VARIANT* source)
{
    return VariantChangeType(variant, source ? source : variant, 0, vt);
}

namespace {
bool RealsEqual(double a, double b)
{
    // Neither smaller than the other; an unordered comparison counts as equal.
    return !(a < b) && !(b < a);
}

bool BstrsEqual(BSTR a, BSTR b)
{
    UINT la = SysStringByteLen(a);
    UINT lb = SysStringByteLen(b);
    if (la != lb)
        return false;
    if (la == 0)
        return true;
    return memcmp(a, b, la) == 0;
}

bool ArraysEqual(VARTYPE elementType, SAFEARRAY* a, SAFEARRAY* b)
{
    if (SafeArrayGetDim(a) != SafeArrayGetDim(b))
        return false;
    if (SafeArrayGetDim(a) != 1) {
        VANTREL_ASSERT(false);
        return false;
    }
    LONG la = 0, lb = 0, ua = 0, ub = 0;
    SafeArrayGetLBound(a, 1, &la);
    SafeArrayGetLBound(b, 1, &lb);
    SafeArrayGetUBound(a, 1, &ua);
    SafeArrayGetUBound(b, 1, &ub);
    if (la != lb || ua != ub)
        return false;
    LONG count = ua - la + 1;
    void* pa = nullptr;
    void* pb = nullptr;
    if (FAILED(SafeArrayAccessData(a, &pa)))
        return false;
    if (FAILED(SafeArrayAccessData(b, &pb))) {
        SafeArrayUnaccessData(a);
        return false;
    }
    bool equal = true;
    switch (elementType) {
    case VT_I1:
    case VT_UI1:
        equal = count <= 0 || memcmp(pa, pb, count) == 0;
        break;
    case VT_I2:
    case VT_BOOL:
    case VT_UI2:
        equal = count <= 0 || memcmp(pa, pb, count * 2) == 0;
        break;
    case VT_I4:
    case VT_UI4:
    case VT_ERROR:
    case VT_DISPATCH:
    case VT_UNKNOWN:
        equal = count <= 0 || memcmp(pa, pb, count * 4) == 0;
        break;
    case VT_R4:
        for (LONG i = 0; i < count && equal; ++i)
            equal = RealsEqual(static_cast<float*>(pa)[i], static_cast<float*>(pb)[i]);
        break;
    case VT_R8:
        for (LONG i = 0; i < count && equal; ++i)
            equal = RealsEqual(static_cast<double*>(pa)[i], static_cast<double*>(pb)[i]);
        break;
    case VT_BSTR:
        for (LONG i = 0; i < count && equal; ++i)
            equal = BstrsEqual(static_cast<BSTR*>(pa)[i], static_cast<BSTR*>(pb)[i]);
        break;
    default:
        VANTREL_ASSERT(false);
        equal = false;
        break;
    }
    SafeArrayUnaccessData(b);
    SafeArrayUnaccessData(a);
    return equal;
}
}  // namespace

bool VariantsEqual(const VARIANT* a, const VARIANT* b)
{
    if (a == b)
        return true;
    if (a->vt != b->vt)
        return false;
    if (a->vt & VT_ARRAY)
        return ArraysEqual(static_cast<VARTYPE>(a->vt & ~VT_ARRAY), a->parray, b->parray);
    switch (a->vt) {
    case VT_EMPTY:
    case VT_NULL:
        return true;
    case VT_I1:
    case VT_UI1:
        return a->bVal == b->bVal;
    case VT_I2:
    case VT_BOOL:
    case VT_UI2:
        return a->iVal == b->iVal;
    case VT_I4:
    case VT_UI4:
    case VT_ERROR:
        return a->lVal == b->lVal;
    case VT_DISPATCH:
    case VT_UNKNOWN:
        return a->punkVal == b->punkVal;
    case VT_R4:
        return RealsEqual(a->fltVal, b->fltVal);
    case VT_R8:
        return RealsEqual(a->dblVal, b->dblVal);
    case VT_BSTR:
        return BstrsEqual(a->bstrVal, b->bstrVal);
    default:
        VANTREL_ASSERT(false);
        return false;
    }
}

namespace {
struct VarTypeName {
    VARTYPE vt;
    const wchar_t* name;
};
const VarTypeName kVarTypeNames[] = {
    {VT_EMPTY, L"VT_EMPTY          "},       {VT_NULL, L"VT_NULL           "},
    {VT_I2, L"VT_I2             "},          {VT_I4, L"VT_I4             "},
    {VT_R4, L"VT_R4             "},          {VT_R8, L"VT_R8             "},
    {VT_CY, L"VT_CY             "},          {VT_DATE, L"VT_DATE           "},
    {VT_BSTR, L"VT_BSTR           "},        {VT_DISPATCH, L"VT_DISPATCH       "},
    {VT_ERROR, L"VT_ERROR          "},       {VT_BOOL, L"VT_BOOL           "},
    {VT_VARIANT, L"VT_VARIANT        "},     {VT_UNKNOWN, L"VT_UNKNOWN        "},
    {VT_DECIMAL, L"VT_DECIMAL        "},     {VT_I1, L"VT_I1             "},
    {VT_UI1, L"VT_UI1            "},         {VT_UI2, L"VT_UI2            "},
    {VT_UI4, L"VT_UI4            "},         {VT_I8, L"VT_I8             "},
    {VT_UI8, L"VT_UI8            "},         {VT_INT, L"VT_INT            "},
    {VT_UINT, L"VT_UINT           "},        {VT_VOID, L"VT_VOID           "},
    {VT_HRESULT, L"VT_HRESULT        "},     {VT_PTR, L"VT_PTR            "},
    {VT_SAFEARRAY, L"VT_SAFEARRAY      "},   {VT_CARRAY, L"VT_CARRAY         "},
    {VT_USERDEFINED, L"VT_USERDEFINED    "}, {VT_LPSTR, L"VT_LPSTR          "},
    {VT_LPWSTR, L"VT_LPWSTR         "},      {VT_FILETIME, L"VT_FILETIME       "},
    {VT_BLOB, L"VT_BLOB           "},        {VT_STREAM, L"VT_STREAM         "},
    {VT_STORAGE, L"VT_STORAGE        "},     {VT_STREAMED_OBJECT, L"VT_STREAMED_OBJECT"},
    {VT_STORED_OBJECT, L"VT_STORED_OBJECT  "}, {VT_BLOB_OBJECT, L"VT_BLOB_OBJECT    "},
    {VT_CF, L"VT_CF             "},          {VT_CLSID, L"VT_CLSID          "},
    {VT_VECTOR, L"VT_VECTOR         "},      {VT_ARRAY, L"VT_ARRAY          "},
    {VT_BYREF, L"VT_BYREF          "},
};
const wchar_t kBlanks[] =
    L"                                                                                ";
}  // namespace

const wchar_t* GetVarTypeName(VARTYPE vt)
{
    for (const auto& row : kVarTypeNames) {
        if (row.vt == vt)
            return row.name;
    }
    return L"";
}

const wchar_t* GetAccessRightsName(DWORD rights)
{
    switch (rights & 3) {
    case 1: return L"OPC_READABLE                ";
    case 2: return L"OPC_WRITEABLE               ";
    case 3: return L"OPC_READABLE | OPC_WRITEABLE";
    default: return L"";
    }
}

const wchar_t* GetIndent(int n)
{
    static const size_t length = wcslen(kBlanks);
    if (n < 0)
        n = 0;
    if (static_cast<size_t>(n) > length)
        n = static_cast<int>(length);
    return kBlanks + (length - n);
}

void* TaskMemAllocFn(size_t bytes) { return CoTaskMemAlloc(bytes); }
void TaskMemFreeFn(void* block) { CoTaskMemFree(block); }
void* HeapAllocFn(size_t bytes) { return HeapAlloc(GetProcessHeap(), 0, bytes ? bytes : 1); }
void HeapFreeFn(void* block)
{
    if (block)
        HeapFree(GetProcessHeap(), 0, block);
}

HRESULT CopyItemAttributes(OPCITEMATTRIBUTES* destination, const OPCITEMATTRIBUTES* source, AllocFn alloc)
{
    HRESULT hr = S_OK;
    destination->szAccessPath = DupWideString(source->szAccessPath, alloc);
    destination->szItemID = DupWideString(source->szItemID, alloc);
    if (!destination->szAccessPath || !destination->szItemID)
        hr = E_OUTOFMEMORY;
    destination->bActive = source->bActive;
    destination->hClient = source->hClient;
    destination->hServer = source->hServer;
    destination->dwAccessRights = source->dwAccessRights;
    destination->dwBlobSize = source->dwBlobSize;
    destination->pBlob = nullptr;
    if (source->dwBlobSize != 0) {
        destination->pBlob = static_cast<BYTE*>(alloc(source->dwBlobSize));
        if (destination->pBlob)
            memcpy(destination->pBlob, source->pBlob, source->dwBlobSize);
        else
            hr = E_OUTOFMEMORY;
    }
    destination->vtRequestedDataType = source->vtRequestedDataType;
    destination->vtCanonicalDataType = source->vtCanonicalDataType;
    destination->dwEUType = source->dwEUType;
    VariantInit(&destination->vEUInfo);
    HRESULT hrCopy = VariantCopy(&destination->vEUInfo, const_cast<VARIANT*>(&source->vEUInfo));
    if (FAILED(hrCopy))
        hr = hrCopy;
    return hr;
}

HRESULT FreeItemAttributesArray(DWORD count, OPCITEMATTRIBUTES* array, ReleaseFn release)
{
    if (!array)
        return S_OK;
    for (DWORD i = count; i-- > 0;) {
        VariantClear(&array[i].vEUInfo);
        release(array[i].szAccessPath);
        release(array[i].szItemID);
        release(array[i].pBlob);
    }
    release(array);
    return S_OK;
}

HRESULT FreeItemResultArray(DWORD count, OPCITEMRESULT* array)
{
    if (!array)
        return S_OK;
    for (DWORD i = count; i-- > 0;)
        CoTaskMemFree(array[i].pBlob);
    CoTaskMemFree(array);
    return S_OK;
}

HRESULT FreeTaskMem(void* block)
{
    CoTaskMemFree(block);
    return S_OK;
}

namespace {
// The bytes a value of a fixed-size type compares by; 0 for the others.
size_t FixedSize(VARTYPE vt)
{
    switch (vt) {
    case VT_INT: case VT_UINT: return 4;
    case VT_I8: case VT_UI8: case VT_CY: case VT_DATE: return 8;
    default: return 0;
    }
}
}  // namespace

bool ValuesEqual(const VARIANT* a, const VARIANT* b)
{
    if (a == b)
        return true;
    if (a->vt != b->vt)
        return false;
    const VARTYPE element = a->vt & VT_TYPEMASK;
    const size_t bytes = FixedSize(element);
    if (bytes == 0)
        return VariantsEqual(a, b);
    if (!(a->vt & VT_ARRAY)) {
        if (element == VT_DATE)
            return a->date == b->date || (a->date != a->date && b->date != b->date);
        return memcmp(&a->llVal, &b->llVal, bytes) == 0;
    }
    SAFEARRAY* x = a->parray;
    SAFEARRAY* y = b->parray;
    if (!x || !y || SafeArrayGetDim(x) != 1 || SafeArrayGetDim(y) != 1)
        return x == y;
    LONG lx = 0, ly = 0, ux = -1, uy = -1;
    SafeArrayGetLBound(x, 1, &lx);
    SafeArrayGetLBound(y, 1, &ly);
    SafeArrayGetUBound(x, 1, &ux);
    SafeArrayGetUBound(y, 1, &uy);
    if (lx != ly || ux != uy)
        return false;
    return ux < lx || memcmp(x->pvData, y->pvData, bytes * static_cast<size_t>(ux - lx + 1)) == 0;
}
