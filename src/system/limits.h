// SPDX-License-Identifier: MIT
// What the system lets this process use: memory and CPUs. They are read as
// sysconf() reads the machine, from the system's own description of the
// process's resources, not from any configuration: the cgroups the process
// belongs to (cgroup v2, v1, or both on a hybrid machine), the tightest
// limit along each cgroup's path to its hierarchy's root; its resource
// limits; the machine's memory; and the CPUs its affinity mask allows. A
// file that is missing, cannot be read or says nothing that parses is no
// limit, and nothing else is read in its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct cgroup_limits {
    std::uint64_t memory = UINT64_MAX; // bytes
    std::size_t cpus = SIZE_MAX;       // the CPU quota, rounded up
};

// The limits of this process's cgroups, read from the files under `root`
// ("/" but in tests): /proc/self/cgroup names the cgroups,
// /proc/self/mountinfo where their hierarchies are mounted, and in each
// cgroup and its ancestors, memory.max and cpu.max for v2, and
// memory.limit_in_bytes, cpu.cfs_quota_us and cpu.cfs_period_us for v1.
cgroup_limits read_cgroup_limits(const std::string& root);

struct process_limits {
    // The least of the cgroups' limit and the machine's memory, past which
    // the kernel reclaims, and at last kills.
    std::uint64_t memory;
    // The least of the address-space and data-segment limits, past which
    // a mapping fails; code and libraries count too.
    std::uint64_t address_space;
    // The least of the CPUs the affinity mask allows and the CPU quota.
    std::size_t cpus;
};

process_limits read_process_limits();
