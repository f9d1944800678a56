// SPDX-License-Identifier: MIT
// The limits of a process's cgroups, read from fake trees of the files the
// kernel shows: v2, v1 and both, nested, mounted several times or below a
// container's root, unlimited, missing and garbled.
// No test reads the machine's own cgroups.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>

#include "system/limits.h"

namespace
{

const std::string v2_mount = "30 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n";
const std::string v1_mounts =
    "33 32 0:30 / /sys/fs/cgroup/cpu,cpuacct rw,relatime shared:9 - cgroup cgroup rw,cpu,cpuacct\n"
    "36 32 0:33 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n";
const std::string hybrid_mounts =
    v1_mounts + "40 32 0:35 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n";

struct limits_case {
    const char* name;
    std::map<std::string, std::string> files; // path under the root, contents
    std::uint64_t memory;
    std::size_t cpus;
};

constexpr std::uint64_t none = UINT64_MAX;
constexpr std::size_t no_quota = SIZE_MAX;

void expect_limits(const std::vector<limits_case>& cases)
{
    // A tree of this process's own: CTest runs the tests side by side.
    const std::filesystem::path root =
        testing::TempDir() + "fake-cgroups-" + std::to_string(getpid());
    for (const limits_case& c : cases) {
        std::filesystem::remove_all(root);
        for (const auto& [path, contents] : c.files) {
            std::filesystem::create_directories((root / path.substr(1)).parent_path());
            std::ofstream(root / path.substr(1)) << contents;
        }
        const cgroup_limits limits = read_cgroup_limits(root.string());
        EXPECT_EQ(limits.memory, c.memory) << c.name;
        EXPECT_EQ(limits.cpus, c.cpus) << c.name;
    }
    std::filesystem::remove_all(root);
}

TEST(CgroupLimits, Version2)
{
    expect_limits({
        {"a limit on the process's own cgroup",
         {{"/proc/self/cgroup", "0::/job\n"},
          {"/proc/self/mountinfo", v2_mount},
          {"/sys/fs/cgroup/job/memory.max", "104857600\n"},
          {"/sys/fs/cgroup/job/cpu.max", "200000 100000\n"}},
         104857600,
         2},
        {"the tightest along the path, a quota rounded up",
         {{"/proc/self/cgroup", "0::/pod/job\n"},
          {"/proc/self/mountinfo", v2_mount},
          {"/sys/fs/cgroup/memory.max", "max\n"},
          {"/sys/fs/cgroup/pod/memory.max", "62914560\n"},
          {"/sys/fs/cgroup/pod/job/memory.max", "max\n"},
          {"/sys/fs/cgroup/pod/cpu.max", "max 100000\n"},
          {"/sys/fs/cgroup/pod/job/cpu.max", "150000 100000\n"}},
         62914560,
         2},
        {"max everywhere",
         {{"/proc/self/cgroup", "0::/job\n"},
          {"/proc/self/mountinfo", v2_mount},
          {"/sys/fs/cgroup/job/memory.max", "max\n"},
          {"/sys/fs/cgroup/job/cpu.max", "max 100000\n"}},
         none,
         no_quota},
        {"a container's own cgroup at the mount's root",
         {{"/proc/self/cgroup", "0::/\n"},
          {"/proc/self/mountinfo", v2_mount},
          {"/sys/fs/cgroup/memory.max", "2147483648\n"},
          {"/sys/fs/cgroup/cpu.max", "50000 100000\n"}},
         2147483648,
         1},
    });
}

TEST(CgroupLimits, Version1AndHybrid)
{
    const std::string cgroup = "12:memory:/batch/job\n4:cpu,cpuacct:/batch\n0::/\n";
    expect_limits({
        {"memory and cpu controllers",
         {{"/proc/self/cgroup", cgroup},
          {"/proc/self/mountinfo", v1_mounts},
          {"/sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n"},
          {"/sys/fs/cgroup/memory/batch/job/memory.limit_in_bytes", "62914560\n"},
          {"/sys/fs/cgroup/cpu,cpuacct/batch/cpu.cfs_quota_us", "250000\n"},
          {"/sys/fs/cgroup/cpu,cpuacct/batch/cpu.cfs_period_us", "100000\n"}},
         62914560,
         3},
        {"no quota, and a parent's limit",
         {{"/proc/self/cgroup", cgroup},
          {"/proc/self/mountinfo", v1_mounts},
          {"/sys/fs/cgroup/memory/batch/memory.limit_in_bytes", "1073741824\n"},
          {"/sys/fs/cgroup/memory/batch/job/memory.limit_in_bytes", "9223372036854771712\n"},
          {"/sys/fs/cgroup/cpu,cpuacct/batch/cpu.cfs_quota_us", "-1\n"},
          {"/sys/fs/cgroup/cpu,cpuacct/batch/cpu.cfs_period_us", "100000\n"}},
         1073741824,
         no_quota},
        {"hybrid: v1 limits beside a unified hierarchy without controllers",
         {{"/proc/self/cgroup", cgroup},
          {"/proc/self/mountinfo", hybrid_mounts},
          {"/sys/fs/cgroup/memory/batch/job/memory.limit_in_bytes", "62914560\n"},
          {"/sys/fs/cgroup/unified/cgroup.procs", "1\n"}},
         62914560,
         no_quota},
        {"hybrid: the lesser of v1's and v2's",
         {{"/proc/self/cgroup", "12:memory:/job\n0::/job\n"},
          {"/proc/self/mountinfo", hybrid_mounts},
          {"/sys/fs/cgroup/memory/job/memory.limit_in_bytes", "62914560\n"},
          {"/sys/fs/cgroup/unified/job/memory.max", "31457280\n"}},
         31457280,
         no_quota},
        {"a mount that shows a container's cgroup at its root",
         {{"/proc/self/cgroup", "7:memory:/docker/abc\n"},
          {"/proc/self/mountinfo",
           "36 32 0:33 /docker/abc /sys/fs/cgroup/memory ro - cgroup cgroup rw,memory\n"},
          {"/sys/fs/cgroup/memory/memory.limit_in_bytes", "536870912\n"}},
         536870912,
         no_quota},
        {"a mount point with a blank",
         {{"/proc/self/cgroup", "7:memory:/job\n"},
          {"/proc/self/mountinfo", "36 32 0:33 / /cg\\040mem rw - cgroup cgroup rw,memory\n"},
          {"/cg mem/job/memory.limit_in_bytes", "4096\n"}},
         4096,
         no_quota},
    });
}

// Each of a hierarchy's mounts shows one of its cgroups at its root: the
// limits are read through the mount whose root lies deepest on the
// process's path, wherever it stands in mountinfo, and below that root.
TEST(CgroupLimits, TheMountThatShowsTheCgroupDeepest)
{
    const std::string v2_at = "30 23 0:26 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";
    const std::string v2_other = "31 23 0:26 /other /mnt/other rw - cgroup2 cgroup2 rw\n";
    const std::string v2_job = "32 23 0:26 /job /mnt/job rw - cgroup2 cgroup2 rw\n";
    std::vector<limits_case> cases;
    for (const std::string& mounts : {v2_other + v2_at, v2_at + v2_other})
        cases.push_back({"a mount of another cgroup beside the one of the process's, either order",
                         {{"/proc/self/cgroup", "0::/job\n"},
                          {"/proc/self/mountinfo", mounts},
                          {"/sys/fs/cgroup/job/memory.max", "16777216\n"},
                          {"/sys/fs/cgroup/job/cpu.max", "100000 100000\n"},
                          {"/mnt/other/memory.max", "4096\n"}},
                         16777216,
                         1});
    for (const std::string& mounts : {v2_at + v2_job, v2_job + v2_at})
        cases.push_back({"two mounts show the cgroup: the deeper root wins, either order",
                         {{"/proc/self/cgroup", "0::/job\n"},
                          {"/proc/self/mountinfo", mounts},
                          {"/sys/fs/cgroup/job/memory.max", "16777216\n"},
                          {"/mnt/job/memory.max", "8388608\n"}},
                         8388608,
                         no_quota});
    const std::string v1_memory = "36 32 0:33 /docker/abc /sys/fs/cgroup/memory ro - cgroup cgroup "
                                  "rw,memory\n";
    const std::string v2_container =
        "30 23 0:26 /docker/abc /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";
    const std::vector<limits_case> more = {
        {"below a container's mount root, v1: its limit there, not at the mount point",
         {{"/proc/self/cgroup", "7:memory:/docker/abc/job\n"},
          {"/proc/self/mountinfo", v1_memory},
          {"/sys/fs/cgroup/memory/memory.limit_in_bytes", "1073741824\n"},
          {"/sys/fs/cgroup/memory/job/memory.limit_in_bytes", "16777216\n"}},
         16777216,
         no_quota},
        {"below a container's mount root, v2",
         {{"/proc/self/cgroup", "0::/docker/abc/job\n"},
          {"/proc/self/mountinfo", v2_container},
          {"/sys/fs/cgroup/memory.max", "1073741824\n"},
          {"/sys/fs/cgroup/cpu.max", "400000 100000\n"},
          {"/sys/fs/cgroup/job/memory.max", "16777216\n"},
          {"/sys/fs/cgroup/job/cpu.max", "100000 100000\n"}},
         16777216,
         1},
        {"a cgroup namespace: 0::/ through the mount that shows its root, not one from outside it",
         {{"/proc/self/cgroup", "0::/\n"},
          {"/proc/self/mountinfo",
           "29 23 0:26 /.. /mnt/outside rw - cgroup2 cgroup2 rw\n" + v2_mount},
          {"/mnt/outside/memory.max", "4096\n"},
          {"/sys/fs/cgroup/memory.max", "33554432\n"}},
         33554432,
         no_quota},
        {"named v1 hierarchies beside the controllers, one named like a controller",
         {{"/proc/self/cgroup", "1:name=systemd:/user.slice\n2:name=memory:/x\n4:memory:/job\n"},
          {"/proc/self/mountinfo",
           "41 32 0:38 / /sys/fs/cgroup/systemd rw - cgroup cgroup rw,name=systemd\n"
           "42 32 0:39 / /sys/fs/cgroup/named rw - cgroup cgroup rw,name=memory\n" +
               v1_mounts},
          {"/sys/fs/cgroup/named/x/memory.limit_in_bytes", "4096\n"},
          {"/sys/fs/cgroup/memory/job/memory.limit_in_bytes", "62914560\n"}},
         62914560,
         no_quota},
        {"hierarchies that are not mounted: v1's named, read through v2",
         {{"/proc/self/cgroup", "4:memory:/job\n3:cpu:/job\n0::/job\n"},
          {"/proc/self/mountinfo", v2_mount},
          {"/sys/fs/cgroup/memory/job/memory.limit_in_bytes", "4096\n"},
          {"/sys/fs/cgroup/job/memory.max", "62914560\n"},
          {"/sys/fs/cgroup/job/cpu.max", "200000 100000\n"}},
         62914560,
         2},
    };
    cases.insert(cases.end(), more.begin(), more.end());
    expect_limits(cases);
}

TEST(CgroupLimits, MissingAndGarbledFilesAreNoLimit)
{
    expect_limits({
        {"no /proc/self/cgroup", {{"/proc/self/mountinfo", v2_mount}}, none, no_quota},
        {"no mountinfo", {{"/proc/self/cgroup", "0::/job\n"}}, none, no_quota},
        {"no limit files",
         {{"/proc/self/cgroup", "0::/job\n"}, {"/proc/self/mountinfo", v2_mount}},
         none,
         no_quota},
        {"garbage",
         {{"/proc/self/cgroup", "0::/job\n"},
          {"/proc/self/mountinfo", v2_mount},
          {"/sys/fs/cgroup/job/memory.max", "lots\n"},
          {"/sys/fs/cgroup/job/cpu.max", "some\n"}},
         none,
         no_quota},
        {"numbers with more after them, and a zero period",
         {{"/proc/self/cgroup", "12:memory:/job\n4:cpu:/job\n"},
          {"/proc/self/mountinfo",
           "36 32 0:33 / /m rw - cgroup cgroup rw,memory\n33 32 0:30 / /c rw - cgroup cgroup "
           "rw,cpu\n"},
          {"/m/job/memory.limit_in_bytes", "4096 bytes\n"},
          {"/c/job/cpu.cfs_quota_us", "100000\n"},
          {"/c/job/cpu.cfs_period_us", "0\n"}},
         none,
         no_quota},
        {"a cgroup outside what its mount shows",
         {{"/proc/self/cgroup", "7:memory:/other\n"},
          {"/proc/self/mountinfo",
           "36 32 0:33 /docker/abc /sys/fs/cgroup/memory ro - cgroup cgroup rw,memory\n"},
          {"/sys/fs/cgroup/memory/memory.limit_in_bytes", "536870912\n"}},
         none,
         no_quota},
        {"lines that are no lines",
         {{"/proc/self/cgroup", "garbage\n::\n0::/job"},
          {"/proc/self/mountinfo", "x\n- - -\n" + v2_mount},
          {"/sys/fs/cgroup/job/memory.max", "4096"}},
         4096,
         no_quota},
    });
}

} // namespace
