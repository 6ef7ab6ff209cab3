// SPDX-License-Identifier: MIT
// The lock on POSIX systems: a non-blocking advisory flock on the device
// node, through a descriptor of the lock's own. The kernel keeps one lock
// per node and drops it with the last descriptor, when the process ends. No
// file is created, so there is nothing another user could plant a link at.
#include "util/device_lock.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

static int lock_descriptor = -1;

// Whether the node locked is the one at `path`, whatever its name was: a
// device back from its restart may get a new node under the same name.
static bool holds_node_at(const char* path)
{
    struct stat held {};
    struct stat now {};
    return lock_descriptor >= 0 && fstat(lock_descriptor, &held) == 0 && stat(path, &now) == 0 &&
           held.st_dev == now.st_dev && held.st_ino == now.st_ino;
}

device_lock_result device_lock_take(const char* path)
{
    if (holds_node_at(path))
        return device_lock_result::taken;
    // Never read: the reports the kernel queues for it are dropped with it.
    const int descriptor = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (descriptor < 0)
        return device_lock_result::unavailable;
    if (flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
        device_lock_release();  // the device's node before its restart
        lock_descriptor = descriptor;
        return device_lock_result::taken;
    }
    const bool held = errno == EWOULDBLOCK;
    close(descriptor);
    return held ? device_lock_result::held_elsewhere : device_lock_result::unavailable;
}

void device_lock_release()
{
    if (lock_descriptor < 0)
        return;
    close(lock_descriptor);
    lock_descriptor = -1;
}
