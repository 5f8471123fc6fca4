// Provider location beside the program.
#include "app/provider_location.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

// ---- platform layer ------------------------------------------------------------------

static constexpr char PATH_SEPARATOR =
#if defined(_WIN32)
    '\\';
#else
    '/';
#endif

// The full path of the running executable in out; false when unknown or cut.
static bool platform_executable_path(char* out, size_t capacity)
{
#if defined(_WIN32)
    DWORD size = capacity > 0xFFFF ? 0xFFFF : static_cast<DWORD>(capacity);
    DWORD length = GetModuleFileNameA(nullptr, out, size);
    return length > 0 && length < size;
#else
    ssize_t length = readlink("/proc/self/exe", out, capacity);
    if (length <= 0 || static_cast<size_t>(length) >= capacity)
        return false;
    out[length] = '\0';
    return true;
#endif
}

static bool platform_file_exists(const char* path)
{
#if defined(_WIN32)
    return _access(path, 0) == 0;
#else
    return access(path, F_OK) == 0;
#endif
}

// Sets name to value in the process environment (the crypto library reads it from there).
static void platform_set_variable(const char* name, const char* value)
{
#if defined(_WIN32)
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}

// ---- operations ----------------------------------------------------------------------

bool program_folder(char* out, size_t capacity)
{
    if (!platform_executable_path(out, capacity))
        return false;
    char* last = strrchr(out, PATH_SEPARATOR);
    if (!last)
        return false;
    *last = '\0';
    return true;
}

// Sets variable to value unless the variable is set already or the file at path is missing.
static void default_variable(const char* variable, const char* path, const char* value)
{
    const char* current = getenv(variable);
    if ((current && current[0] != '\0') || !platform_file_exists(path))
        return;
    platform_set_variable(variable, value);
}

void use_provider_beside_program()
{
    char folder[PROGRAM_FOLDER_SIZE];
    if (!program_folder(folder, sizeof folder))
        return;
    char module[PROGRAM_FOLDER_SIZE + 32];
    char config[PROGRAM_FOLDER_SIZE + 32];
    snprintf(module, sizeof module, "%s%c%s", folder, PATH_SEPARATOR, PROVIDER_MODULE_NAME);
    snprintf(config, sizeof config, "%s%c%s", folder, PATH_SEPARATOR, PROVIDER_CONFIG_NAME);
    default_variable("OPENSSL_MODULES", module, folder);
    default_variable("OPENSSL_CONF", config, config);
}
