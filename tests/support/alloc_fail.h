// Allocation-failure injection for tests: the N-th allocation made by our code fails.
#pragma once

// Test executables linked with tavrin_alloc_fail have the malloc, calloc and realloc calls of
// every object in the link (our libraries and the tests; not the shared C++ runtime) routed
// through a counter, and with include_crypto also the crypto library's own allocations.

// From now on the n-th allocation (n >= 1) returns null; n = 0 disarms. Counting restarts.
void alloc_fail_arm(long n, bool include_crypto = false);

// Disarms and returns whether the armed failure happened (false: the operation made fewer
// than n allocations, so every shorter n has been tried).
bool alloc_fail_disarm();

// Allocations counted since the last arm.
long alloc_fail_count();
