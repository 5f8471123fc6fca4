// FIPS activation against the real provider, each case in a process of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/process.h"

namespace {

struct Probe {
    ProcessResult run;
    std::vector<std::string> lines; // of its standard output
};

// Runs fips_probe in mode with the extra environment entries.
Probe probe(const char* mode, const std::vector<std::string>& env)
{
    Probe p = {run_process(build_program("fips_probe"), {"fips_probe", mode}, env), {}};
    for (size_t start = 0, end; start < p.run.out.size(); start = end + 1) {
        end = std::min(p.run.out.find('\n', start), p.run.out.size());
        p.lines.push_back(p.run.out.substr(start, end - start));
    }
    return p;
}

// A folder of this process's own, removed at the end of the test.
struct TempFolder {
    std::filesystem::path path = std::filesystem::temp_directory_path() / ("fips-" + std::to_string(getpid()));
    TempFolder() { std::filesystem::create_directories(path); }
    ~TempFolder() { std::filesystem::remove_all(path); }
};

TEST(FipsActivation, RealProviderSwitchesOnAndRefusesMd5)
{
    Probe p = probe("report", {});
    ASSERT_EQ(p.run.status, 0) << p.run.err;
    EXPECT_EQ(p.lines, (std::vector<std::string>{"result 1", "handle set", "again 1", "md5-fetch failed",
                                                 "bytestokey-md5 0", "bytestokey-sha256 32", "fips-property 1"}))
        << p.run.out;
}

TEST(FipsActivation, MissingModuleReportsTheMessageThenOneLibraryLine)
{
    TempFolder empty;
    Probe p = probe("report", {"OPENSSL_MODULES=" + empty.path.string()});
    ASSERT_EQ(p.run.status, 0) << p.run.err;
    ASSERT_GE(p.lines.size(), 4u) << p.run.out;
    EXPECT_EQ(p.lines[0], "report 31 Failed to load FIPS provider.");
    // One library line: the recording callback returns 0, which ends the listing.
    EXPECT_EQ(p.lines[1].rfind("report ", 0), 0u) << p.run.out;
    EXPECT_NE(p.lines[1].find("error:"), std::string::npos) << p.run.out;
    EXPECT_EQ(p.lines[2], "result 0");
    EXPECT_EQ(p.lines[3], "handle unset");
}

TEST(FipsActivation, NullReportPrintsErrorsAndExitsWithStatusOne)
{
    TempFolder empty;
    Probe p = probe("null-report", {"OPENSSL_MODULES=" + empty.path.string()});
    EXPECT_EQ(p.run.status, 1);
    EXPECT_EQ(p.run.out, "");
    EXPECT_NE(p.run.err.find("error:"), std::string::npos) << p.run.err;
    // Without hooks print_err writes the message to stderr as well.
    EXPECT_NE(p.run.err.find("Failed to load FIPS provider."), std::string::npos) << p.run.err;
}

TEST(FipsActivation, ProviderActivatedByConfigurationIsUsedAsItStands)
{
    TempFolder dir;
    std::string config = (dir.path / "openssl.cnf").string();
    std::ofstream(config) << "openssl_conf = openssl_init\n"
                          << ".include " << getenv("OPENSSL_MODULES") << "/fipsmodule.cnf\n"
                          << "[openssl_init]\nproviders = provider_sect\n"
                          << "[provider_sect]\nfips = fips_sect\nbase = base_sect\n"
                          << "[base_sect]\nactivate = 1\n[fips_sect]\nactivate = 1\n";
    Probe p = probe("report", {"OPENSSL_CONF=" + config});
    ASSERT_EQ(p.run.status, 0) << p.run.err;
    // Available at once: nothing loaded here, no callback, default properties untouched.
    ASSERT_GE(p.lines.size(), 3u) << p.run.out;
    EXPECT_EQ(std::vector<std::string>(p.lines.begin(), p.lines.begin() + 3),
              (std::vector<std::string>{"result 1", "handle unset", "again 1"}));
    EXPECT_EQ(p.lines.back(), "fips-property 0");
}

} // namespace
