#include "sim/SimIO.h"

#include "common/Trace.h"
#include "sim/Generator.h"
#include "sim/SimItems.h"

#include <algorithm>

namespace {
CSimIO g_simIO;
}

IDeviceIO* const pGlobalDeviceIO = &g_simIO;

namespace {
// Handles are sampled in chunks: the bank's lock is taken once for a chunk's
// samples, the cache's once for storing them (never both at once), so a
// client call waits at most for one chunk.
const size_t kChunk = 256;

// One sample of a handle's kind, from its set's generator at generator time t.
VARIANT SampleOf(DWORD kind, CSignalGenerator* g, double t)
{
    VARIANT v;
    v.vt = VT_EMPTY;
    switch (kind) {
    case kKindValue:
        v.vt = VT_R8;
        v.dblVal = g ? g->GetValue(t) : 0.0;
        break;
    case kKindFct:
        v.vt = VT_UI1;
        v.bVal = static_cast<BYTE>(g ? g->GetFunction() : 0);
        break;
    case kKindPeriod:
        v.vt = VT_R8;
        v.dblVal = g ? g->GetPeriod() : 0.0;
        break;
    case kKindT0: {
        // Read back as a 32-bit integer, although written as a double.
        double t0 = g ? g->GetT0() : 0.0;
        v.vt = VT_I4;
        v.lVal = (t0 == t0 && t0 < 2147483648.0 && t0 > -2147483649.0) ? static_cast<LONG>(t0)
                                                                           : static_cast<LONG>(0x80000000);
        break;
    }
    case kKindOn:
        v.vt = VT_BOOL;
        v.boolVal = (g && g->GetOn()) ? VARIANT_TRUE : VARIANT_FALSE;
        break;
    }
    return v;
}

// Which handles of a chunk have a kind the device knows; the others are
// reported (outside every lock) and skipped.
bool CheckKinds(const DWORD* handles, size_t n, bool* skip)
{
    bool allValid = true;
    for (size_t i = 0; i < n; ++i) {
        skip[i] = !DeviceKindValid(DeviceHandleKind(handles[i]));
        if (skip[i]) {
            VANTREL_ASSERT(!"device handle kind above 4");
            allValid = false;
        }
    }
    return allValid;
}

// The instant of a call's samples: every handle of one call (one pass) is
// sampled at the same generator millisecond and carries its time stamp.
struct SampleInstant {
    double t;
    FILETIME ts;
    SampleInstant()
    {
        t = GeneratorTimeNow();
        GetSystemTimeAsFileTime(&ts);
    }
};
}  // namespace

HRESULT CSimIO::UpdateItems(const DeviceHandleSet& hDevices, CCache& cache)
{
    HRESULT result = S_OK;
    if (hDevices.empty())
        return result;
    const SampleInstant at;
    VARIANT samples[kChunk];
    bool skip[kChunk];
    for (size_t first = 0; first < hDevices.size(); first += kChunk) {
        const size_t n = std::min(kChunk, hDevices.size() - first);
        const DWORD* handles = &hDevices[first];
        if (!CheckKinds(handles, n, skip))
            result = E_FAIL;
        {
            CDeviceLockHold lock(g_generatorBank.m_hMutex);
            for (size_t i = 0; i < n; ++i)
                if (!skip[i])
                    samples[i] = SampleOf(DeviceHandleKind(handles[i]),
                                          g_generatorBank.Find(DeviceSetNumber(handles[i])), at.t);
        }
        CDeviceLockHold lock(cache.m_hMutex);
        for (size_t i = 0; i < n; ++i) {
            if (skip[i])
                continue;
            try {
                cache.SetEntryValue(handles[i], samples[i], at.ts, OPC_QUALITY_GOOD);
            } catch (const CCache::CCacheException&) {
                // The last item of this handle went away since the handles
                // were collected: the sample is dropped.
            }
        }
        // The samples hold no allocated data (numbers only).
    }
    return result;
}

HRESULT CSimIO::UpdatePass(CSamplePass& pass, CCache& cache)
{
    HRESULT result = S_OK;
    const size_t count = pass.handles.size();
    if (count == 0)
        return result;
    const SampleInstant at;
    VARIANT samples[kChunk];
    bool skip[kChunk];
    for (size_t first = 0; first < count; first += kChunk) {
        const size_t n = std::min(kChunk, count - first);
        const DWORD* handles = &pass.handles[first];
        if (!CheckKinds(handles, n, skip))
            result = E_FAIL;
        {
            CDeviceLockHold lock(g_generatorBank.m_hMutex);
            // Each set's generator place, resolved again when the plan is new
            // or a set went since (its place may be gone).
            if (!pass.deviceResolved || pass.deviceVersion != g_generatorBank.Erasures()) {
                pass.deviceSlots.resize(count);
                for (size_t i = 0; i < count; ++i)
                    pass.deviceSlots[i] = g_generatorBank.Slot(DeviceSetNumber(pass.handles[i]));
                pass.deviceVersion = g_generatorBank.Erasures();
                pass.deviceResolved = true;
            }
            for (size_t i = 0; i < n; ++i) {
                if (skip[i])
                    continue;
                auto slot = static_cast<CSignalGenerator* const*>(pass.deviceSlots[first + i]);
                CSignalGenerator* g = slot ? *slot : g_generatorBank.Find(DeviceSetNumber(handles[i]));
                samples[i] = SampleOf(DeviceHandleKind(handles[i]), g, at.t);
            }
        }
        cache.StorePassSamples(pass, first, n, samples, skip, at.ts, OPC_QUALITY_GOOD);
    }
    return result;
}

HRESULT CSimIO::WriteItems(DWORD dwCount, const DWORD* phDevices, const VARIANT* pValues, HRESULT* pErrors)
{
    bool anyFailure = false;
    for (DWORD i = 0; i < dwCount; ++i) {
        DWORD kind = phDevices[i] >> 24;
        int set = static_cast<int>(phDevices[i] & 0xFFFFFF);
        if (kind > 4)
            DeviceKindValid(kind);
        if (kind >= 1 && kind <= 4) {
            CDeviceLockHold lock(g_generatorBank.m_hMutex);
            switch (kind) {
            case kKindFct:
                g_generatorBank.SetFunction(set, pValues[i].bVal);
                break;
            case kKindPeriod:
                g_generatorBank.SetPeriod(set, pValues[i].dblVal);
                break;
            case kKindT0:
                g_generatorBank.SetT0(set, pValues[i].dblVal);
                break;
            case kKindOn:
                g_generatorBank.SetOn(set, static_cast<int>(pValues[i].boolVal));
                break;
            }
            pErrors[i] = S_OK;
        } else {
            pErrors[i] = E_FAIL;
            anyFailure = true;
        }
    }
    return anyFailure ? S_FALSE : S_OK;
}
