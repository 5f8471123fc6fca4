// Fuzz target: URL decoding of arbitrary zero-terminated text, output bounded and terminated.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "http/request.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The decoding warning goes to standard output; keep the fuzzer's output readable.
    if (!freopen("/dev/null", "w", stdout))
        return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<char> source(data, data + size);
    source.push_back('\0');
    char destination[REQUEST_PATH_SIZE + 16];
    memset(destination, 0x5A, sizeof destination);
    uint64_t length = 0;
    bool whole = decodeUrlText(source.data(), destination, &length);
    if (length >= REQUEST_PATH_SIZE || destination[length] != '\0')
        abort();
    for (size_t i = REQUEST_PATH_SIZE; i < sizeof destination; ++i)
        if (destination[i] != 0x5A)
            abort();
    if (!whole && length != REQUEST_PATH_SIZE - 1)
        abort();
    return 0;
}
