#include "sim/SimIO.h"

#include "common/Trace.h"
#include "sim/Generator.h"
#include "sim/SimItems.h"

#include <algorithm>

namespace {
CSimIO g_simIO;
}

IDeviceIO* pGlobalDeviceIO = &g_simIO;
IDeviceIO* SignalSetIO() { return &g_simIO; }

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
    unsigned long number;  // its place among every call's instants
    SampleInstant()
    {
        t = GeneratorTimeNow();
        number = TakeSampleInstant(&ts);
    }
};

// Samples handles [0, count) chunk by chunk at one instant: the bank's lock
// for a chunk's samples (resolve() first, then generatorOf(i) finds handle
// i's generator under it), then store(first, n, samples, skip, at) for
// storing them. Returns E_FAIL when a handle had a kind the device does not
// know.
template <class Resolve, class GeneratorOf, class Store>
HRESULT SampleInChunks(const DWORD* handles, size_t count, Resolve resolve, GeneratorOf generatorOf, Store store)
{
    HRESULT result = S_OK;
    if (count == 0)
        return result;
    const SampleInstant at;
    VARIANT samples[kChunk];
    bool skip[kChunk];
    for (size_t first = 0; first < count; first += kChunk) {
        const size_t n = std::min(kChunk, count - first);
        if (!CheckKinds(handles + first, n, skip))
            result = E_FAIL;
        {
            CDeviceLockHold lock(g_generatorBank.m_hMutex);
            resolve();
            for (size_t i = 0; i < n; ++i)
                if (!skip[i])
                    samples[i] = SampleOf(DeviceHandleKind(handles[first + i]), generatorOf(first + i), at.t);
        }
        store(first, n, samples, skip, at);
        // The samples hold no allocated data (numbers only).
    }
    return result;
}
}  // namespace

HRESULT CSimIO::UpdateItems(const DeviceHandleSet& hDevices, CCache& cache)
{
    const DWORD* handles = hDevices.data();
    return SampleInChunks(
        handles, hDevices.size(), [] {}, [&](size_t i) { return g_generatorBank.Find(DeviceSetNumber(handles[i])); },
        [&](size_t first, size_t n, const VARIANT* samples, const bool* skip, const SampleInstant& at) {
            CDeviceLockHold lock(cache.m_hMutex);
            // A handle whose last item went away since the handles were
            // collected has no entry: its sample is dropped.
            for (size_t i = 0; i < n; ++i)
                if (!skip[i])
                    cache.StoreSample(handles[first + i], samples[i], at.ts, OPC_QUALITY_GOOD, at.number);
        });
}

HRESULT CSimIO::UpdatePass(CSamplePass& pass, CCache& cache)
{
    const DWORD* handles = pass.handles.data();
    return SampleInChunks(
        handles, pass.handles.size(),
        [&] {
            // Each set's generator place (under the bank's lock), resolved
            // again when the plan is new or a set went since (its place may
            // be gone).
            if (!pass.deviceResolved || pass.deviceVersion != g_generatorBank.Erasures()) {
                pass.deviceSlots.resize(pass.handles.size());
                for (size_t k = 0; k < pass.handles.size(); ++k)
                    pass.deviceSlots[k] = g_generatorBank.Slot(DeviceSetNumber(handles[k]));
                pass.deviceVersion = g_generatorBank.Erasures();
                pass.deviceResolved = true;
            }
        },
        [&](size_t i) {
            auto slot = static_cast<CSignalGenerator* const*>(pass.deviceSlots[i]);
            return slot ? *slot : g_generatorBank.Find(DeviceSetNumber(handles[i]));
        },
        [&](size_t first, size_t n, const VARIANT* samples, const bool* skip, const SampleInstant& at) {
            cache.StorePassSamples(pass, first, n, samples, skip, at.ts, OPC_QUALITY_GOOD, at.number);
        });
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
