// Allocation-failure injection: link-time wrappers of malloc, calloc and realloc, and the
// crypto library's memory functions pointed at the same counter.
#include "tests/support/alloc_fail.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>

#include <openssl/crypto.h>

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
}

static std::atomic<long> target{0};
static std::atomic<long> counted{0};
static std::atomic<bool> fired{false};
static std::atomic<bool> crypto_armed{false};

// True when this allocation is the one that must fail.
static bool fail_now()
{
    if (target.load(std::memory_order_relaxed) == 0)
        return false;
    if (counted.fetch_add(1) + 1 != target.load())
        return false;
    fired = true;
    return true;
}

extern "C" {
void* __wrap_malloc(size_t size)
{
    return fail_now() ? nullptr : __real_malloc(size);
}

void* __wrap_calloc(size_t count, size_t size)
{
    return fail_now() ? nullptr : __real_calloc(count, size);
}

void* __wrap_realloc(void* block, size_t size)
{
    return fail_now() ? nullptr : __real_realloc(block, size);
}
}

static void* crypto_malloc(size_t size, const char*, int)
{
    return crypto_armed && fail_now() ? nullptr : __real_malloc(size);
}

static void* crypto_realloc(void* block, size_t size, const char*, int)
{
    return crypto_armed && fail_now() ? nullptr : __real_realloc(block, size);
}

static void crypto_free(void* block, const char*, int)
{
    free(block);
}

// The crypto library takes its memory functions only before its first allocation.
static const bool crypto_hooked = CRYPTO_set_mem_functions(crypto_malloc, crypto_realloc, crypto_free);

void alloc_fail_arm(long n, bool include_crypto)
{
    (void)crypto_hooked;
    target = 0;
    counted = 0;
    fired = false;
    crypto_armed = include_crypto;
    target = n;
}

bool alloc_fail_disarm()
{
    target = 0;
    crypto_armed = false;
    return fired.load();
}

long alloc_fail_count()
{
    return counted.load();
}
