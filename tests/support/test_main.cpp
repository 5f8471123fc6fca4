// Test entry point: the test process and every child it starts find the FIPS provider of
// this work tree and the programs of this build, however the test binary was started.
#include <cstdlib>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    setenv("OPENSSL_MODULES", TAVRIN_FIPS_DIR, 0);
    setenv("OPENSSL_CONF", TAVRIN_FIPS_DIR "/openssl.cnf", 0);
    setenv("TAVRIN_BUILD_DIR", TAVRIN_BUILD_DIR, 0);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
