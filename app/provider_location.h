// Provider location: the FIPS provider and its configuration found beside the program.
#pragma once

#include <cstddef>

// Installed programs have no launcher to point the crypto library at the FIPS provider (a
// browser starts the executable its host manifest names), so the program's own folder serves
// as the default: the provider module (PROVIDER_MODULE_NAME) and openssl.cnf, which holds the
// provider's section, lie there.
#if defined(_WIN32)
constexpr const char* PROVIDER_MODULE_NAME = "fips.dll";
#else
constexpr const char* PROVIDER_MODULE_NAME = "fips.so";
#endif
constexpr const char* PROVIDER_CONFIG_NAME = "openssl.cnf";
constexpr size_t PROGRAM_FOLDER_SIZE = 4096;

// Writes the folder of the running executable, without a trailing separator, into out
// (capacity bytes). Returns false when the path is unknown or does not fit.
bool program_folder(char* out, size_t capacity);

// For each of OPENSSL_MODULES (the folder) and OPENSSL_CONF (its openssl.cnf) that is unset,
// sets it to the program's folder when that folder holds the module, respectively the
// configuration; variables already set (a launcher's, a user's) are kept. Must run before the
// first call into the crypto library, which reads them once.
void use_provider_beside_program();
