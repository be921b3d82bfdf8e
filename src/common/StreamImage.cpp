#include "common/StreamImage.h"

#include <cstring>
#include <vector>

namespace {
template <class T>
bool Take(const BYTE* block, size_t size, size_t* position, T* out)
{
    if (*position > size || size - *position < sizeof(T))
        return false;
    memcpy(out, block + *position, sizeof(T));
    *position += sizeof(T);
    return true;
}

// A string image: byte count, characters, NUL.
HRESULT ReadStringImage(const BYTE* block, size_t size, size_t* position, BSTR* out)
{
    DWORD bytes = 0;
    if (!Take(block, size, position, &bytes) || (bytes & 1) || size - *position < bytes + sizeof(WCHAR))
        return E_INVALIDARG;
    *out = SysAllocStringLen(nullptr, bytes / 2);
    if (!*out)
        return E_OUTOFMEMORY;
    memcpy(*out, block + *position, bytes);
    *position += bytes + sizeof(WCHAR);
    return S_OK;
}

// The element size an array of the type has in the block, 0 for a type a
// block cannot carry.
ULONG ElementImageBytes(VARTYPE element)
{
    switch (element) {
    case VT_I1: case VT_UI1:
        return 1;
    case VT_I2: case VT_UI2: case VT_BOOL:
        return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR:
        return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_CY: case VT_DATE:
        return 8;
    case VT_DECIMAL:
        return 16;
    case VT_BSTR:
        return kStringSlotImageBytes;
    default:
        return 0;
    }
}

HRESULT ReadArrayImage(const BYTE* block, size_t size, size_t* position, VARTYPE vt, SAFEARRAY** out)
{
    USHORT dims = 0, features = 0;
    ULONG elementBytes = 0, locks = 0, data = 0;
    if (!Take(block, size, position, &dims) || !Take(block, size, position, &features) ||
        !Take(block, size, position, &elementBytes) || !Take(block, size, position, &locks) ||
        !Take(block, size, position, &data))
        return E_INVALIDARG;
    const VARTYPE element = vt & VT_TYPEMASK;
    if (ElementImageBytes(element) == 0)
        return DISP_E_BADVARTYPE;
    if (dims == 0 || elementBytes != ElementImageBytes(element))
        return E_INVALIDARG;
    // The bounds in memory order (the last dimension first), as SafeArrayCreate
    // wants them the other way round.
    std::vector<SAFEARRAYBOUND> bounds(dims);
    ULONGLONG count = 1;
    for (USHORT d = 0; d < dims; ++d) {
        SAFEARRAYBOUND b;
        if (!Take(block, size, position, &b.cElements) || !Take(block, size, position, &b.lLbound))
            return E_INVALIDARG;
        bounds[dims - 1 - d] = b;
        count *= b.cElements;
        if (count * elementBytes > size)
            return E_INVALIDARG;
    }
    if (size - *position < count * elementBytes)
        return E_INVALIDARG;
    SAFEARRAY* sa = SafeArrayCreate(element, dims, bounds.data());
    if (!sa)
        return E_OUTOFMEMORY;
    HRESULT hr = S_OK;
    if (element == VT_BSTR) {
        *position += count * elementBytes;  // zeroed slots
        BSTR* strings = static_cast<BSTR*>(sa->pvData);
        for (ULONGLONG i = 0; i < count && SUCCEEDED(hr); ++i)
            hr = ReadStringImage(block, size, position, &strings[i]);
    } else if (count) {
        memcpy(sa->pvData, block + *position, count * elementBytes);
        *position += count * elementBytes;
    }
    if (FAILED(hr)) {
        SafeArrayDestroy(sa);
        return hr;
    }
    *out = sa;
    return S_OK;
}
}  // namespace

HRESULT ReadValueImage(const BYTE* block, size_t size, size_t offset, VARIANT* value, size_t* end)
{
    VariantInit(value);
    if (!block || offset > size || size - offset < kVariantImageBytes)
        return E_INVALIDARG;
    VARTYPE vt = VT_EMPTY;
    memcpy(&vt, block + offset, sizeof(vt));
    size_t position = offset + kVariantImageBytes;
    HRESULT hr = S_OK;
    if (vt & VT_BYREF) {
        return DISP_E_BADVARTYPE;
    } else if (vt & VT_ARRAY) {
        SAFEARRAY* sa = nullptr;
        hr = ReadArrayImage(block, size, &position, vt, &sa);
        if (SUCCEEDED(hr)) {
            value->vt = vt;
            value->parray = sa;
        }
    } else if (vt == VT_BSTR) {
        BSTR s = nullptr;
        hr = ReadStringImage(block, size, &position, &s);
        if (SUCCEEDED(hr)) {
            value->vt = VT_BSTR;
            value->bstrVal = s;
        }
    } else if (vt == VT_DECIMAL) {
        memcpy(&value->decVal, block + offset, sizeof(DECIMAL));  // the whole image, type included
        value->vt = VT_DECIMAL;
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH || vt == VT_VARIANT || vt == VT_RECORD ||
               (vt & ~VT_TYPEMASK)) {
        return DISP_E_BADVARTYPE;
    } else {
        value->vt = vt;
        memcpy(&value->llVal, block + offset + 8, 8);
    }
    if (SUCCEEDED(hr) && end)
        *end = position;
    return hr;
}
