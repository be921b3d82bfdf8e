#include "sim/Generator.h"

#include "common/OPCGlob.h"
#include "common/Trace.h"

#include <cmath>
#include <cstdlib>
#include <new>

CGeneratorBank g_generatorBank;

namespace {
const double kPi = 3.14159265359;  // the literal, not the full-precision pi
}

double GeneratorTimeNow()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart / TicksPerMs());
}

double CSignalGenerator::GetValue(double) { return 0.0; }
double CSignalGenerator::GetT0() { return m_dT0; }
void CSignalGenerator::SetT0(double t0) { m_dT0 = t0; }
double CSignalGenerator::GetAmplitude() { return m_dAmplitude; }
double CSignalGenerator::GetPeriod() { return 0.0; }
void CSignalGenerator::SetPeriod(double) {}
int CSignalGenerator::GetOn() { return m_bOn; }
void CSignalGenerator::SetOn(int on) { m_bOn = on; }
int CSignalGenerator::GetFunction() { return 0; }

double CPeriodicSignalGenerator::GetPeriod() { return m_dPeriod; }
void CPeriodicSignalGenerator::SetPeriod(double period) { m_dPeriod = period; }

CSineGenerator::CSineGenerator() { CSineGenerator::SetPeriod(1000.0); }

CSineGenerator::CSineGenerator(CSignalGenerator& from)
{
    m_bOn = from.GetOn();
    m_dT0 = from.GetT0();
    CSineGenerator::SetPeriod(from.GetPeriod());
}

double CSineGenerator::GetValue(double t)
{
    if (!m_bOn)
        return 0.0;
    return sin((t - m_dT0) * m_dOmega) * m_dAmplitude;
}

void CSineGenerator::SetPeriod(double period)
{
    m_dPeriod = period;
    m_dOmega = (kPi + kPi) / period;
}

CRampGenerator::CRampGenerator() { CRampGenerator::SetPeriod(1000.0); }

CRampGenerator::CRampGenerator(CSignalGenerator& from)
{
    m_bOn = from.GetOn();
    m_dT0 = from.GetT0();
    CRampGenerator::SetPeriod(from.GetPeriod());
}

double CRampGenerator::GetValue(double t)
{
    if (!m_bOn)
        return 0.0;
    double integral;
    double f = modf((t - m_dT0) * m_dFrequency, &integral);
    return (f * m_dAmplitude) * 2 - 1.0;
}

void CRampGenerator::SetPeriod(double period)
{
    m_dPeriod = period;
    m_dFrequency = 1.0 / period;
}

int CRampGenerator::GetFunction() { return 1; }

CCounterGenerator::CCounterGenerator(CSignalGenerator& from)
{
    m_bOn = from.GetOn();
    m_dT0 = from.GetT0();
}

double CCounterGenerator::GetValue(double t)
{
    if (!m_bOn)
        return 0.0;
    // One period long after t0; an unordered comparison counts as "less".
    return !((t - m_dT0) >= m_dPeriod) ? 1.0 : 0.0;
}

void CCounterGenerator::SetOn(int on)
{
    m_dT0 = GeneratorTimeNow();  // every write of on restarts the pulse
    m_bOn = on;
}

int CCounterGenerator::GetFunction() { return 3; }

CNoiseGenerator::CNoiseGenerator(CSignalGenerator& from)
{
    m_bOn = from.GetOn();
    m_dT0 = from.GetT0();
}

double CNoiseGenerator::GetValue(double)
{
    if (!m_bOn)
        return 0.0;
    int r = rand();
    return (r * 6.103888176768602e-05 - 1.0) * m_dAmplitude;
}

void CNoiseGenerator::SetT0(double t0)
{
    // Reseeds; t0 itself is not stored. The factor is the reciprocal of the
    // largest finite double, so every ordinary t0 gives the seed 0.
    double seed = t0 * 5.562684646268003e-309 * 2147483647.0;
    int s = 0;
    if (seed == seed && seed < 2147483648.0 && seed > -2147483649.0)
        s = static_cast<int>(seed);
    srand(static_cast<unsigned>(s));
}

int CNoiseGenerator::GetFunction() { return 2; }

CGeneratorBank::~CGeneratorBank()
{
    for (auto& entry : m_generators)
        delete entry.second;
    m_generators.clear();
}

CSignalGenerator* CGeneratorBank::Find(int set)
{
    auto it = m_generators.find(set);
    if (it == m_generators.end()) {
        VANTREL_ASSERT(it != m_generators.end());
        return nullptr;
    }
    return it->second;
}

HRESULT CGeneratorBank::AddRef(int set)
{
    auto it = m_generators.find(set);
    if (it == m_generators.end()) {
        CSignalGenerator* fresh = new (std::nothrow) CSineGenerator();
        if (!fresh) {
            VANTREL_ASSERT(fresh != nullptr);
            return E_OUTOFMEMORY;
        }
        try {
            it = m_generators.emplace(set, fresh).first;
        } catch (const std::bad_alloc&) {
            delete fresh;
            VANTREL_ASSERT(!"generator bank out of memory");
            return E_OUTOFMEMORY;
        }
    }
    ++it->second->m_lRefCount;
    return S_OK;
}

HRESULT CGeneratorBank::Release(int set)
{
    auto it = m_generators.find(set);
    if (it == m_generators.end()) {
        VANTREL_ASSERT(it != m_generators.end());
        return S_OK;
    }
    if (--it->second->m_lRefCount == 0) {
        delete it->second;
        m_generators.erase(it);
        ++m_ulErasures;
    }
    return S_OK;
}

std::pair<double, double> CGeneratorBank::GetValue(int set)
{
    double t = GeneratorTimeNow();
    CSignalGenerator* g = Find(set);
    return {t, g ? g->GetValue(t) : 0.0};
}

double CGeneratorBank::GetPeriod(int set)
{
    CSignalGenerator* g = Find(set);
    return g ? g->GetPeriod() : 0.0;
}

double CGeneratorBank::GetAmplitude(int set)
{
    CSignalGenerator* g = Find(set);
    return g ? g->GetAmplitude() : 0.0;
}

double CGeneratorBank::GetT0(int set)
{
    CSignalGenerator* g = Find(set);
    return g ? g->GetT0() : 0.0;
}

int CGeneratorBank::GetOn(int set)
{
    CSignalGenerator* g = Find(set);
    return g ? g->GetOn() : 0;
}

int CGeneratorBank::GetFunction(int set)
{
    CSignalGenerator* g = Find(set);
    return g ? g->GetFunction() : 0;
}

void CGeneratorBank::SetPeriod(int set, double period)
{
    if (CSignalGenerator* g = Find(set))
        g->SetPeriod(period);
}

void CGeneratorBank::SetOn(int set, int on)
{
    if (CSignalGenerator* g = Find(set))
        g->SetOn(on);
}

void CGeneratorBank::SetT0(int set, double t0)
{
    if (CSignalGenerator* g = Find(set))
        g->SetT0(t0);
}

HRESULT CGeneratorBank::SetFunction(int set, int function)
{
    if (function < 0 || function > 3)
        return E_INVALIDARG;
    auto it = m_generators.find(set);
    if (it == m_generators.end()) {
        VANTREL_ASSERT(it != m_generators.end());
        return E_FAIL;
    }
    CSignalGenerator* old = it->second;
    CSignalGenerator* fresh = nullptr;
    switch (function) {
    case 0: fresh = new (std::nothrow) CSineGenerator(*old); break;
    case 1: fresh = new (std::nothrow) CRampGenerator(*old); break;
    case 2: fresh = new (std::nothrow) CNoiseGenerator(*old); break;
    case 3: fresh = new (std::nothrow) CCounterGenerator(*old); break;
    }
    if (!fresh)
        return E_OUTOFMEMORY;
    fresh->m_lRefCount = old->m_lRefCount;
    delete old;
    it->second = fresh;
    return S_OK;
}
