// SPDX-License-Identifier: MIT
// The lock on Windows: a named mutex in the global namespace whose name is
// derived from the device's path, so that it follows the device and every
// session sees it. Its existence is the lock; Windows deletes it with the
// last handle, when the process ends.
#include "util/device_lock.h"

#include <cstdint>
#include <cstdio>

#include <windows.h>

static HANDLE lock_mutex = nullptr;
static uint64_t lock_hash = 0;

// FNV-1a over the path's bytes, case folded (Windows paths ignore case).
static uint64_t path_hash(const char* path)
{
    uint64_t hash = 14695981039346656037ULL;
    for (const char* c = path; *c != '\0'; ++c) {
        const char folded = (*c >= 'A' && *c <= 'Z') ? static_cast<char>(*c - 'A' + 'a') : *c;
        hash = (hash ^ static_cast<uint8_t>(folded)) * 1099511628211ULL;
    }
    return hash;
}

device_lock_result device_lock_take(const char* path)
{
    const uint64_t hash = path_hash(path);
    if (lock_mutex != nullptr && lock_hash == hash)
        return device_lock_result::taken;
    char name[64];
    std::snprintf(name, sizeof name, "Global\\quennet-update-%016llx", static_cast<unsigned long long>(hash));
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    const DWORD error = GetLastError();
    if (mutex == nullptr)  // another account's program holds it
        return error == ERROR_ACCESS_DENIED ? device_lock_result::held_elsewhere : device_lock_result::unavailable;
    if (error == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return device_lock_result::held_elsewhere;
    }
    device_lock_release();  // the device's path before its restart
    lock_mutex = mutex;
    lock_hash = hash;
    return device_lock_result::taken;
}

void device_lock_release()
{
    if (lock_mutex == nullptr)
        return;
    CloseHandle(lock_mutex);
    lock_mutex = nullptr;
}
