#include "engine/Streams.h"

#include <objidl.h>

namespace {
// A stream on a new global memory block that outlives the stream.
HRESULT CreateBlockStream(IStream** stream)
{
    *stream = nullptr;
    return CreateStreamOnHGlobal(nullptr, FALSE, stream);
}

// The bytes an item's value takes in a block.
ULONG ValueSize(const VARIANT& value)
{
    ULONG size = sizeof(VARIANT);
    if (value.vt == VT_BSTR)
        size += sizeof(DWORD) + SysStringByteLen(value.bstrVal) + sizeof(WCHAR);
    return size;
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
        if (value.vt == VT_BSTR) {
            DWORD byteCount = SysStringByteLen(value.bstrVal);
            memcpy(base + valuePosition, &byteCount, sizeof(byteCount));
            valuePosition += sizeof(byteCount);
            if (byteCount)
                memcpy(base + valuePosition, value.bstrVal, byteCount);
            valuePosition += byteCount;
            const WCHAR terminator = 0;
            memcpy(base + valuePosition, &terminator, sizeof(terminator));
            valuePosition += sizeof(terminator);
        }
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
