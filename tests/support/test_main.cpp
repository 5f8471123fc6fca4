// Test entry point: the test process and every child it starts find the FIPS provider of
// this work tree and the programs of this build, however the test binary was started.
#include <cstdlib>

#include <gtest/gtest.h>

// Sets name to value unless the environment has it already.
static void set_default(const char* name, const char* value)
{
#if defined(_WIN32)
    if (!getenv(name))
        _putenv_s(name, value);
#else
    setenv(name, value, 0);
#endif
}

int main(int argc, char** argv)
{
    set_default("OPENSSL_MODULES", TAVRIN_FIPS_DIR);
    set_default("OPENSSL_CONF", TAVRIN_FIPS_DIR "/openssl.cnf");
    set_default("TAVRIN_BUILD_DIR", TAVRIN_BUILD_DIR);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
