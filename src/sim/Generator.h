// Signal generators and the bank that maps set numbers to them.
#pragma once
#include <windows.h>

#include <map>
#include <utility>

#include "core/DeviceLock.h"

// Generator time now: the performance counter in whole milliseconds.
double GeneratorTimeNow();

class CSignalGenerator {
public:
    CSignalGenerator() = default;
    virtual ~CSignalGenerator() = default;
    virtual double GetValue(double t);
    virtual double GetT0();
    virtual void SetT0(double t0);
    virtual double GetAmplitude();
    virtual double GetPeriod();
    virtual void SetPeriod(double period);
    virtual int GetOn();
    virtual void SetOn(int on);
    virtual int GetFunction();

    double m_dT0 = 0.0;
    double m_dAmplitude = 1.0;
    int m_bOn = 0;
    long m_lRefCount = 0;
};

class CPeriodicSignalGenerator : public CSignalGenerator {
public:
    double GetPeriod() override;
    void SetPeriod(double period) override;

    double m_dPeriod = 1000.0;
};

class CSineGenerator : public CPeriodicSignalGenerator {
public:
    CSineGenerator();
    explicit CSineGenerator(CSignalGenerator& from);
    double GetValue(double t) override;
    void SetPeriod(double period) override;

    double m_dOmega;
};

class CRampGenerator : public CPeriodicSignalGenerator {
public:
    CRampGenerator();
    explicit CRampGenerator(CSignalGenerator& from);
    double GetValue(double t) override;
    void SetPeriod(double period) override;
    int GetFunction() override;

    double m_dFrequency;
};

class CCounterGenerator : public CPeriodicSignalGenerator {
public:
    CCounterGenerator() = default;
    explicit CCounterGenerator(CSignalGenerator& from);
    double GetValue(double t) override;
    void SetOn(int on) override;
    int GetFunction() override;
};

class CNoiseGenerator : public CSignalGenerator {
public:
    CNoiseGenerator() = default;
    explicit CNoiseGenerator(CSignalGenerator& from);
    double GetValue(double t) override;
    void SetT0(double t0) override;
    int GetFunction() override;
};

// Every caller holds m_hMutex for exactly one operation.
class CGeneratorBank {
public:
    CGeneratorBank() = default;
    ~CGeneratorBank();
    CGeneratorBank(const CGeneratorBank&) = delete;
    CGeneratorBank& operator=(const CGeneratorBank&) = delete;

    HRESULT AddRef(int set);
    HRESULT Release(int set);
    std::pair<double, double> GetValue(int set);
    double GetPeriod(int set);
    double GetAmplitude(int set);
    double GetT0(int set);
    int GetOn(int set);
    int GetFunction(int set);
    void SetPeriod(int set, double period);
    void SetOn(int set, int on);
    void SetT0(int set, double t0);
    HRESULT SetFunction(int set, int function);

    bool HasSet(int set) const { return m_generators.count(set) != 0; }

    // For the device pass, which resolves its sets once rather than every
    // 10 ms: where a set's generator is kept (the place stays while the set
    // lives, its generator may be replaced by SetFunction), or NULL; and how
    // many sets have gone so far, which says when such places may be stale.
    CSignalGenerator* const* Slot(int set) const
    {
        auto it = m_generators.find(set);
        return it == m_generators.end() ? nullptr : &it->second;
    }
    unsigned long Erasures() const { return m_ulErasures; }
    // The set's generator; an unknown set is reported and gives NULL.
    CSignalGenerator* Find(int set);

    CDeviceLock m_hMutex;
    std::map<int, CSignalGenerator*> m_generators;

private:
    unsigned long m_ulErasures = 0;
};

extern CGeneratorBank g_generatorBank;
