// FIPS activation against the real provider, each case in a process of its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/process.h"

namespace {

std::string fips_dir()
{
    const char* modules = getenv("OPENSSL_MODULES");
    return modules ? modules : "";
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

std::string temp_folder(const char* name)
{
    auto dir = std::filesystem::temp_directory_path() / (std::string(name) + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    return dir.string();
}

TEST(FipsActivation, RealProviderSwitchesOnAndRefusesMd5)
{
    ProcessResult r = run_process(build_program("fips_probe"), {"fips_probe", "report"}, {});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{
                                   "result 1", "handle set", "again 1", "md5-fetch failed",
                                   "bytestokey-md5 0", "bytestokey-sha256 32", "fips-property 1"}))
        << r.out;
}

TEST(FipsActivation, MissingModuleReportsTheMessageThenOneLibraryLine)
{
    std::string empty = temp_folder("fips-empty-");
    ProcessResult r = run_process(build_program("fips_probe"), {"fips_probe", "report"},
                                  {"OPENSSL_MODULES=" + empty});
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = lines_of(r.out);
    ASSERT_GE(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], "report 31 Failed to load FIPS provider.");
    // One library line: the recording callback returns 0, which ends the listing.
    EXPECT_EQ(lines[1].rfind("report ", 0), 0u) << r.out;
    EXPECT_NE(lines[1].find("error:"), std::string::npos) << r.out;
    EXPECT_EQ(lines[2], "result 0");
    EXPECT_EQ(lines[3], "handle unset");
    std::filesystem::remove_all(empty);
}

TEST(FipsActivation, NullReportPrintsErrorsAndExitsWithStatusOne)
{
    std::string empty = temp_folder("fips-empty-");
    ProcessResult r = run_process(build_program("fips_probe"), {"fips_probe", "null-report"},
                                  {"OPENSSL_MODULES=" + empty});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("error:"), std::string::npos) << r.err;
    // Without hooks print_err writes the message to stderr as well.
    EXPECT_NE(r.err.find("Failed to load FIPS provider."), std::string::npos) << r.err;
    std::filesystem::remove_all(empty);
}

TEST(FipsActivation, ProviderActivatedByConfigurationIsUsedAsItStands)
{
    std::string dir = temp_folder("fips-active-");
    std::string config = dir + "/openssl.cnf";
    std::ofstream(config) << "openssl_conf = openssl_init\n"
                          << ".include " << fips_dir() << "/fipsmodule.cnf\n"
                          << "[openssl_init]\nproviders = provider_sect\n"
                          << "[provider_sect]\nfips = fips_sect\nbase = base_sect\n"
                          << "[base_sect]\nactivate = 1\n"
                          << "[fips_sect]\nactivate = 1\n";
    ProcessResult r = run_process(build_program("fips_probe"), {"fips_probe", "report"},
                                  {"OPENSSL_CONF=" + config});
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = lines_of(r.out);
    ASSERT_GE(lines.size(), 3u) << r.out;
    // Available at once: nothing loaded here, no callback, default properties untouched.
    EXPECT_EQ(lines[0], "result 1");
    EXPECT_EQ(lines[1], "handle unset");
    EXPECT_EQ(lines[2], "again 1");
    EXPECT_EQ(lines.back(), "fips-property 0");
    std::filesystem::remove_all(dir);
}

} // namespace
