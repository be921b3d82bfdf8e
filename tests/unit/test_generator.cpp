// Signal generators and the generator bank.
#include "sim/Generator.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(Generators, FreshSineIsOffWithDefaults)
{
    CSineGenerator g;
    EXPECT_EQ(0, g.GetFunction());
    EXPECT_EQ(0, g.GetOn());
    EXPECT_DOUBLE_EQ(1000.0, g.GetPeriod());
    EXPECT_DOUBLE_EQ(0.0, g.GetT0());
    EXPECT_DOUBLE_EQ(1.0, g.GetAmplitude());
    EXPECT_DOUBLE_EQ(0.0, g.GetValue(12345.0));
    EXPECT_DOUBLE_EQ(0.00628318530718, g.m_dOmega);
}

TEST(Generators, SineAtQuarterPeriods)
{
    CSineGenerator g;
    g.SetOn(1);
    g.SetT0(5000.0);
    EXPECT_DOUBLE_EQ(0.0, g.GetValue(5000.0));
    EXPECT_DOUBLE_EQ(sin(0.25 * 6.28318530718), g.GetValue(5250.0));
    EXPECT_NEAR(1.0, g.GetValue(5250.0), 1e-9);
    EXPECT_NEAR(0.0, g.GetValue(5500.0), 1e-9);
    EXPECT_NEAR(-1.0, g.GetValue(5750.0), 1e-9);
}

TEST(Generators, RampRisesOverEachPeriod)
{
    CRampGenerator g;
    g.SetOn(1);
    g.SetT0(1000.0);
    EXPECT_EQ(1, g.GetFunction());
    EXPECT_DOUBLE_EQ(-1.0, g.GetValue(1000.0));
    EXPECT_DOUBLE_EQ(0.0, g.GetValue(1500.0));
    EXPECT_NEAR(0.998, g.GetValue(1999.0), 1e-12);
    EXPECT_DOUBLE_EQ(-1.0, g.GetValue(2000.0));
    EXPECT_DOUBLE_EQ(-1.5, g.GetValue(750.0));  // before t0: (-3, -1]
}

TEST(Generators, NoiseStaysInItsRangeAndIgnoresPeriodAndT0)
{
    CNoiseGenerator g;
    g.SetOn(1);
    EXPECT_EQ(2, g.GetFunction());
    for (int i = 0; i < 2000; ++i) {
        double v = g.GetValue(0.0);
        EXPECT_GE(v, -1.0);
        EXPECT_LE(v, 1.0000610388817677);
    }
    g.SetPeriod(250.0);
    EXPECT_DOUBLE_EQ(0.0, g.GetPeriod());
    g.SetT0(12345.0);  // reseeds with 0, does not store
    EXPECT_DOUBLE_EQ(0.0, g.GetT0());
    srand(0);
    int first = rand();
    g.SetT0(12345.0);
    EXPECT_EQ(first, rand());
}

TEST(Generators, CounterIsAOneShotPulseRestartedByEveryWriteOfOn)
{
    CCounterGenerator g;
    EXPECT_EQ(3, g.GetFunction());
    double before = GeneratorTimeNow();
    g.SetOn(1);
    double t0 = g.GetT0();
    EXPECT_GE(t0, before);
    EXPECT_DOUBLE_EQ(1.0, g.GetValue(t0));
    EXPECT_DOUBLE_EQ(1.0, g.GetValue(t0 + 999.0));
    EXPECT_DOUBLE_EQ(0.0, g.GetValue(t0 + 1000.0));
    g.SetOn(0);
    EXPECT_GE(g.GetT0(), t0);
    EXPECT_DOUBLE_EQ(0.0, g.GetValue(g.GetT0()));
}

namespace {
struct BankSet {
    int set;
    explicit BankSet(int s) : set(s)
    {
        CDeviceLockHold lock(g_generatorBank.m_hMutex);
        g_generatorBank.AddRef(set);
    }
    ~BankSet()
    {
        CDeviceLockHold lock(g_generatorBank.m_hMutex);
        g_generatorBank.Release(set);
    }
};
}  // namespace

TEST(GeneratorBank, SwitchingFunctionKeepsOnT0AndPeriodAsSpecified)
{
    BankSet s(900001);
    CGeneratorBank& bank = g_generatorBank;
    bank.SetOn(s.set, 1);
    bank.SetT0(s.set, 42.0);
    bank.SetPeriod(s.set, 250.0);

    ASSERT_EQ(S_OK, bank.SetFunction(s.set, 1));  // Ramp keeps the period
    EXPECT_EQ(1, bank.GetFunction(s.set));
    EXPECT_DOUBLE_EQ(250.0, bank.GetPeriod(s.set));
    EXPECT_DOUBLE_EQ(42.0, bank.GetT0(s.set));
    EXPECT_EQ(1, bank.GetOn(s.set));

    ASSERT_EQ(S_OK, bank.SetFunction(s.set, 3));  // Counter: period back to 1000
    EXPECT_DOUBLE_EQ(1000.0, bank.GetPeriod(s.set));
    EXPECT_DOUBLE_EQ(42.0, bank.GetT0(s.set));

    ASSERT_EQ(S_OK, bank.SetFunction(s.set, 2));  // Noise has no period
    EXPECT_DOUBLE_EQ(0.0, bank.GetPeriod(s.set));
    ASSERT_EQ(S_OK, bank.SetFunction(s.set, 0));  // Sine from Noise: period 0, values NaN
    EXPECT_DOUBLE_EQ(0.0, bank.GetPeriod(s.set));
    double v = bank.GetValue(s.set).second;
    EXPECT_TRUE(std::isnan(v));
    bank.SetPeriod(s.set, 1000.0);
    EXPECT_FALSE(std::isnan(bank.GetValue(s.set).second));

    EXPECT_NE(S_OK, bank.SetFunction(s.set, 4));
    EXPECT_NE(S_OK, bank.SetFunction(s.set, 255));
    EXPECT_EQ(0, bank.GetFunction(s.set));
    EXPECT_DOUBLE_EQ(1000.0, bank.GetPeriod(s.set));
}

TEST(GeneratorBank, SetLivesExactlyWhileReferenced)
{
    CGeneratorBank& bank = g_generatorBank;
    const int set = 900002;
    {
        CDeviceLockHold lock(bank.m_hMutex);
        bank.AddRef(set);
        bank.AddRef(set);
        bank.SetPeriod(set, 250.0);
        bank.SetFunction(set, 1);  // the switched set keeps its count
        bank.Release(set);
        EXPECT_TRUE(bank.HasSet(set));
        EXPECT_DOUBLE_EQ(250.0, bank.GetPeriod(set));
        bank.Release(set);
        EXPECT_FALSE(bank.HasSet(set));
        bank.AddRef(set);  // starts again from the fresh defaults
        EXPECT_DOUBLE_EQ(1000.0, bank.GetPeriod(set));
        EXPECT_EQ(0, bank.GetFunction(set));
        bank.Release(set);
    }
}
