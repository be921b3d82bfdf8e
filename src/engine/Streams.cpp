#include "engine/Streams.h"

#include <objidl.h>

namespace {
// A stream on a new global memory block that outlives the stream.
HRESULT CreateBlockStream(IStream** stream)
{
    *stream = nullptr;
    return CreateStreamOnHGlobal(nullptr, FALSE, stream);
}

// A string in a block: its byte count, its characters and a NUL.
ULONG StringImageSize(BSTR s) { return sizeof(DWORD) + SysStringByteLen(s) + sizeof(WCHAR); }

void WriteStringImage(BYTE* base, ULONG* position, BSTR s)
{
    const DWORD byteCount = SysStringByteLen(s);
    memcpy(base + *position, &byteCount, sizeof(byteCount));
    *position += sizeof(byteCount);
    if (byteCount)
        memcpy(base + *position, s, byteCount);
    *position += byteCount;
    const WCHAR terminator = 0;
    memcpy(base + *position, &terminator, sizeof(terminator));
    *position += sizeof(terminator);
}

// An array value's elements, in memory order (what SafeArrayAccessData gives).
ULONG ElementCount(const SAFEARRAY* sa)
{
    ULONG n = 1;
    for (USHORT d = 0; d < sa->cDims; ++d)
        n *= sa->rgsabound[d].cElements;
    return n;
}

// The bytes an item's value takes in a block: the VARIANT; a string's
// characters after it; for an array, the SAFEARRAY descriptor (with its
// first bound), one bound more per further dimension, the element data
// and, for an array of strings, each element's string as a lone string's
// (byte count, characters, NUL), in element order.
ULONG ValueSize(const VARIANT& value)
{
    ULONG size = sizeof(VARIANT);
    if (value.vt == VT_BSTR)
        size += StringImageSize(value.bstrVal);
    if ((value.vt & VT_ARRAY) && !(value.vt & VT_BYREF) && value.parray) {
        const SAFEARRAY* sa = value.parray;
        const ULONG n = ElementCount(sa);
        size += sizeof(SAFEARRAY) + (sa->cDims - 1) * sizeof(SAFEARRAYBOUND) + n * sa->cbElements;
        if ((value.vt & VT_TYPEMASK) == VT_BSTR)
            for (ULONG i = 0; i < n; ++i)
                size += StringImageSize(static_cast<BSTR*>(sa->pvData)[i]);
    }
    return size;
}

void WriteArrayImage(BYTE* base, ULONG* position, const VARIANT& value)
{
    const SAFEARRAY* sa = value.parray;
    SAFEARRAY descriptor = *sa;
    descriptor.pvData = nullptr;  // the receiver rebuilds every pointer
    descriptor.cLocks = 0;
    memcpy(base + *position, &descriptor, sizeof(SAFEARRAY));
    *position += sizeof(SAFEARRAY);
    if (sa->cDims > 1) {
        const ULONG more = (sa->cDims - 1) * sizeof(SAFEARRAYBOUND);
        memcpy(base + *position, &sa->rgsabound[1], more);
        *position += more;
    }
    const ULONG n = ElementCount(sa);
    const bool strings = (value.vt & VT_TYPEMASK) == VT_BSTR;
    if (strings)
        memset(base + *position, 0, n * sa->cbElements);  // pointers: meaningless here
    else
        memcpy(base + *position, sa->pvData, n * sa->cbElements);
    *position += n * sa->cbElements;
    if (strings)
        for (ULONG i = 0; i < n; ++i)
            WriteStringImage(base, position, static_cast<BSTR*>(sa->pvData)[i]);
}

HRESULT FinishBlock(IStream* stream, HGLOBAL* phGlobal)
{
    HRESULT hr = GetHGlobalFromStream(stream, phGlobal);
    stream->Release();
    return hr;
}

template <class ItemHeader, bool withTime>
HRESULT WriteDataBlock(OPCHANDLE hClientGroup, DWORD dwTransactionID, HRESULT hrStatus, DWORD dwCount,
                       const OPCHANDLE* phClient, const VARIANT* pValues, const WORD* pQualities,
                       const FILETIME* pTimeStamps, HGLOBAL* phGlobal)
{
    *phGlobal = nullptr;
    IStream* stream = nullptr;
    HRESULT hr = CreateBlockStream(&stream);
    if (FAILED(hr))
        return hr;
    // The stream is sized once and its global memory filled in place: the
    // same bytes as header and value writes at their offsets, without a
    // stream call per item.
    ULARGE_INTEGER total;
    total.QuadPart = sizeof(OPCGROUPHEADER) + static_cast<ULONGLONG>(sizeof(ItemHeader)) * dwCount;
    for (DWORD i = 0; i < dwCount; ++i)
        total.QuadPart += ValueSize(pValues[i]);
    HGLOBAL block = nullptr;
    hr = stream->SetSize(total);
    if (SUCCEEDED(hr))
        hr = GetHGlobalFromStream(stream, &block);
    BYTE* base = SUCCEEDED(hr) ? static_cast<BYTE*>(GlobalLock(block)) : nullptr;
    if (!base) {
        stream->Release();
        if (block)
            GlobalFree(block);
        return FAILED(hr) ? hr : E_OUTOFMEMORY;
    }
    ULONG headerPosition = sizeof(OPCGROUPHEADER);
    ULONG valuePosition = sizeof(OPCGROUPHEADER) + static_cast<ULONG>(sizeof(ItemHeader)) * dwCount;
    for (DWORD i = 0; i < dwCount; ++i) {
        ItemHeader header = {};
        header.hClient = phClient[i];
        header.dwValueOffset = valuePosition;
        header.wQuality = pQualities[i];
        header.wReserved = 0;
        if constexpr (withTime)
            reinterpret_cast<OPCITEMHEADER1&>(header).ftTimeStampItem = pTimeStamps[i];
        memcpy(base + headerPosition, &header, sizeof(header));
        headerPosition += sizeof(header);

        const VARIANT& value = pValues[i];
        memcpy(base + valuePosition, &value, sizeof(VARIANT));
        valuePosition += sizeof(VARIANT);
        if (value.vt == VT_BSTR)
            WriteStringImage(base, &valuePosition, value.bstrVal);
        if ((value.vt & VT_ARRAY) && !(value.vt & VT_BYREF) && value.parray)
            WriteArrayImage(base, &valuePosition, value);
    }
    STATSTG stat = {};
    stream->Stat(&stat, STATFLAG_NONAME);
    OPCGROUPHEADER group = {stat.cbSize.LowPart, dwCount, hClientGroup, dwTransactionID, hrStatus};
    memcpy(base, &group, sizeof(group));
    GlobalUnlock(block);
    return FinishBlock(stream, phGlobal);
}
}  // namespace

HRESULT WriteDataTimeStream(OPCHANDLE hClientGroup, DWORD dwTransactionID, HRESULT hrStatus, DWORD dwCount,
                            const OPCHANDLE* phClient, const VARIANT* pValues, const WORD* pQualities,
                            const FILETIME* pTimeStamps, HGLOBAL* phGlobal)
{
    return WriteDataBlock<OPCITEMHEADER1, true>(hClientGroup, dwTransactionID, hrStatus, dwCount, phClient,
                                                pValues, pQualities, pTimeStamps, phGlobal);
}

HRESULT WriteDataStream(OPCHANDLE hClientGroup, DWORD dwTransactionID, HRESULT hrStatus, DWORD dwCount,
                        const OPCHANDLE* phClient, const VARIANT* pValues, const WORD* pQualities,
                        HGLOBAL* phGlobal)
{
    return WriteDataBlock<OPCITEMHEADER2, false>(hClientGroup, dwTransactionID, hrStatus, dwCount, phClient,
                                                 pValues, pQualities, nullptr, phGlobal);
}

HRESULT WriteWriteCompleteStream(OPCHANDLE hClientGroup, DWORD dwTransactionID, HRESULT hrStatus, DWORD dwCount,
                                 const OPCHANDLE* phClient, const HRESULT* pErrors, HGLOBAL* phGlobal)
{
    *phGlobal = nullptr;
    IStream* stream = nullptr;
    HRESULT hr = CreateBlockStream(&stream);
    if (FAILED(hr))
        return hr;
    OPCGROUPHEADERWRITE group = {dwCount, hClientGroup, dwTransactionID, hrStatus};
    ULONG n = 0;
    stream->Write(&group, sizeof(group), &n);
    for (DWORD i = 0; i < dwCount; ++i) {
        OPCITEMHEADERWRITE item = {phClient[i], pErrors[i]};
        stream->Write(&item, sizeof(item), &n);
    }
    return FinishBlock(stream, phGlobal);
}
