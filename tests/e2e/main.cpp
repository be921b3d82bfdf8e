#include <gtest/gtest.h>
#include <objbase.h>

#include <string>

int RunDyingClient();

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == "--dying-client")
        return RunDyingClient();
    ::testing::InitGoogleTest(&argc, argv);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int rc = RUN_ALL_TESTS();
    CoUninitialize();
    return rc;
}
