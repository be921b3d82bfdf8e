// Freeing what the DA 3.0 property records hold: the server frees its own on
// failure, clients (our tools and tests) what they received.
#pragma once
#include "common/OpcDefs.h"

// Frees the properties' strings, values and array, and empties the record.
inline void FreeItemProperties(OPCITEMPROPERTIES& props)
{
    for (DWORD k = 0; props.pItemProperties && k < props.dwNumProperties; ++k) {
        CoTaskMemFree(props.pItemProperties[k].szItemID);
        CoTaskMemFree(props.pItemProperties[k].szDescription);
        VariantClear(&props.pItemProperties[k].vValue);
    }
    CoTaskMemFree(props.pItemProperties);
    props = OPCITEMPROPERTIES{};
}
