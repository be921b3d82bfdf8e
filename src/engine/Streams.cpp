#include "engine/Streams.h"

#include <objidl.h>

namespace {
// A stream on a new global memory block that outlives the stream.
HRESULT CreateBlockStream(IStream** stream)
{
    *stream = nullptr;
    return CreateStreamOnHGlobal(nullptr, FALSE, stream);
}

ULONG WriteAt(IStream* stream, ULONG position, const void* data, ULONG bytes)
{
    LARGE_INTEGER move;
    move.QuadPart = position;
    stream->Seek(move, STREAM_SEEK_SET, nullptr);
    ULONG written = 0;
    stream->Write(data, bytes, &written);
    return written;
}

// The VARIANT image as it lies in memory, then for exactly VT_BSTR the byte
// count, the characters and the terminator. Returns the bytes written.
ULONG WriteValue(IStream* stream, ULONG position, const VARIANT& value)
{
    ULONG written = WriteAt(stream, position, &value, sizeof(VARIANT));
    if (value.vt == VT_BSTR) {
        DWORD byteCount = SysStringByteLen(value.bstrVal);
        ULONG n = 0;
        stream->Write(&byteCount, sizeof(byteCount), &n);
        written += n;
        if (byteCount) {
            stream->Write(value.bstrVal, byteCount, &n);
            written += n;
        }
        const WCHAR terminator = 0;
        stream->Write(&terminator, sizeof(terminator), &n);
        written += n;
    }
    return written;
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
    OPCGROUPHEADER group = {0, dwCount, hClientGroup, dwTransactionID, hrStatus};
    WriteAt(stream, 0, &group, sizeof(group));

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
        headerPosition += WriteAt(stream, headerPosition, &header, sizeof(header));
        valuePosition += WriteValue(stream, valuePosition, pValues[i]);
    }

    STATSTG stat = {};
    stream->Stat(&stat, STATFLAG_NONAME);
    group.dwSize = stat.cbSize.LowPart;
    WriteAt(stream, 0, &group, sizeof(group));
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
