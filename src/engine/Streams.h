// Writers of the three OPC data stream blocks, on streams over global memory.
// The caller owns the returned HGLOBAL and frees it with GlobalFree.
#pragma once
#include "common/OpcDefs.h"

HRESULT WriteDataTimeStream(OPCHANDLE hClientGroup, DWORD dwTransactionID, HRESULT hrStatus, DWORD dwCount,
                            const OPCHANDLE* phClient, const VARIANT* pValues, const WORD* pQualities,
                            const FILETIME* pTimeStamps, HGLOBAL* phGlobal);

HRESULT WriteDataStream(OPCHANDLE hClientGroup, DWORD dwTransactionID, HRESULT hrStatus, DWORD dwCount,
                        const OPCHANDLE* phClient, const VARIANT* pValues, const WORD* pQualities,
                        HGLOBAL* phGlobal);

HRESULT WriteWriteCompleteStream(OPCHANDLE hClientGroup, DWORD dwTransactionID, HRESULT hrStatus, DWORD dwCount,
                                 const OPCHANDLE* phClient, const HRESULT* pErrors, HGLOBAL* phGlobal);
