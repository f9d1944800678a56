// SPDX-License-Identifier: MIT
// Reading the system's limits. A cgroup is found as the kernel describes
// it: /proc/self/cgroup gives its path within each hierarchy ("0::/P" for
// v2, "N:memory:/P" and "N:cpu,cpuacct:/P" for v1), and
// /proc/self/mountinfo where each hierarchy is mounted and which of its
// cgroups each mount shows at its root, which inside a container is the
// container's own. Of the mounts that show the cgroup, the one whose root
// lies deepest on its path is read: the cgroup's directory is that mount
// point joined with the path below the root; it and each directory above
// it, up to the mount point, may hold a limit, and the tightest counts.
#include "system/limits.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <optional>
#include <sched.h>
#include <string_view>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace
{

// Longer than any /proc/self/mountinfo of a sane host.
constexpr std::size_t most_file_bytes = std::size_t{4} << 20;

std::optional<std::string> read_file(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0 && text.size() <= most_file_bytes;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return std::nullopt;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    if (text.size() > most_file_bytes)
        return std::nullopt;
    return text;
}

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> fields;
    for (std::size_t at = 0;;) {
        const std::size_t end = text.find(separator, at);
        fields.push_back(text.substr(at, end - at));
        if (end == std::string_view::npos)
            return fields;
        at = end + 1;
    }
}

// A whole decimal number, before an optional newline; nothing for anything
// else, "max" and "-1" among them.
std::optional<std::uint64_t> parse_number(std::string_view text)
{
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// The CPUs that `quota` of every `period` gives, rounded up; nothing
// unless both are numbers above 0.
std::optional<std::uint64_t> cpus_of(std::optional<std::uint64_t> quota,
                                     std::optional<std::uint64_t> period)
{
    if (!quota || !period || *quota == 0 || *period == 0)
        return std::nullopt;
    return (*quota + *period - 1) / *period;
}

// mountinfo writes a blank in a path as \040, and so on.
std::string unescape(std::string_view field)
{
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() &&
            std::all_of(field.begin() + i + 1, field.begin() + i + 4,
                        [](char c) { return c >= '0' && c <= '7'; })) {
            text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0'));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

// A hierarchy's place: where it is mounted, the cgroup that the mount
// shows at its root, and this process's cgroup in it.
struct hierarchy {
    std::string mount;
    std::string shown;
    std::string cgroup;
};

// The hierarchies that hold the limits: the unified one of v2, and v1's
// memory and cpu controllers.
struct hierarchies {
    std::optional<hierarchy> unified;
    std::optional<hierarchy> memory;
    std::optional<hierarchy> cpu;
};

bool names(std::string_view list, std::string_view controller)
{
    const std::vector<std::string_view> names = split(list, ',');
    return std::find(names.begin(), names.end(), controller) != names.end();
}

// This process's cgroup in each hierarchy, from /proc/self/cgroup.
void find_cgroups(std::string_view text, hierarchies& found)
{
    for (std::string_view line : split(text, '\n')) {
        const std::size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string_view::npos || second == std::string_view::npos)
            continue;
        const std::string_view id = line.substr(0, first),
                               controllers = line.substr(first + 1, second - first - 1);
        const std::string path(line.substr(second + 1));
        if (id == "0" && controllers.empty())
            found.unified = hierarchy{{}, {}, path};
        if (names(controllers, "memory"))
            found.memory = hierarchy{{}, {}, path};
        if (names(controllers, "cpu"))
            found.cpu = hierarchy{{}, {}, path};
    }
}

// Whether the cgroup `path` lies at or below `root`, a cgroup too.
bool below(std::string_view path, std::string_view root)
{
    if (root == "/")
        return true;
    return path.starts_with(root) && (path.size() == root.size() || path[root.size()] == '/');
}

// Where each hierarchy is mounted, from /proc/self/mountinfo: its root, the
// mount point, then optional fields ended by "-", the file system's type,
// its source and its options, which for v1 name its controllers. A
// hierarchy may be mounted several times, each mount showing another of its
// cgroups at its root: the one that shows the deepest cgroup above the
// process's own is where the process's limits lie.
void find_mounts(std::string_view text, hierarchies& found)
{
    for (std::string_view line : split(text, '\n')) {
        const std::vector<std::string_view> fields = split(line, ' ');
        const auto dash = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 5 || fields.end() - dash < 4)
            continue;
        const std::string_view type = dash[1], options = dash[3];
        auto place = [&](std::optional<hierarchy>& h) {
            std::string shown = unescape(fields[3]);
            if (h && below(h->cgroup, shown) &&
                (h->mount.empty() || shown.size() > h->shown.size()))
                *h = hierarchy{unescape(fields[4]), std::move(shown), h->cgroup};
        };
        if (type == "cgroup2")
            place(found.unified);
        if (type == "cgroup" && names(options, "memory"))
            place(found.memory);
        if (type == "cgroup" && names(options, "cpu"))
            place(found.cpu);
    }
}

// The cgroup's directory and those above it, up to the mount point, under
// `root`; none where no mount shows the cgroup.
std::vector<std::string> directories(const std::string& root, const std::optional<hierarchy>& h)
{
    if (!h || h->mount.empty())
        return {};
    std::string rest = h->shown == "/" ? h->cgroup : h->cgroup.substr(h->shown.size());
    std::vector<std::string> dirs;
    for (;;) {
        while (!rest.empty() && rest.back() == '/')
            rest.pop_back();
        dirs.push_back(root + h->mount + rest);
        if (rest.empty())
            return dirs;
        rest.erase(rest.rfind('/'));
    }
}

// The least that `limit` reads in any of `dirs`.
template <typename Limit> std::uint64_t least(const std::vector<std::string>& dirs, Limit&& limit)
{
    std::uint64_t least = UINT64_MAX;
    for (const std::string& dir : dirs)
        if (const std::optional<std::uint64_t> value = limit(dir))
            least = std::min(least, *value);
    return least;
}

std::optional<std::uint64_t> number_in(const std::string& path)
{
    const std::optional<std::string> text = read_file(path);
    return text ? parse_number(*text) : std::nullopt;
}

// cpu.max holds "QUOTA PERIOD", or "max PERIOD" for none.
std::optional<std::uint64_t> v2_cpus(const std::string& dir)
{
    const std::optional<std::string> text = read_file(dir + "/cpu.max");
    if (!text)
        return std::nullopt;
    const std::vector<std::string_view> fields = split(*text, ' ');
    if (fields.size() != 2)
        return std::nullopt;
    return cpus_of(parse_number(fields[0]), parse_number(fields[1]));
}

std::optional<std::uint64_t> v1_cpus(const std::string& dir)
{
    return cpus_of(number_in(dir + "/cpu.cfs_quota_us"), number_in(dir + "/cpu.cfs_period_us"));
}

} // namespace

cgroup_limits read_cgroup_limits(const std::string& root)
{
    hierarchies found;
    const std::optional<std::string> cgroups = read_file(root + "/proc/self/cgroup");
    if (!cgroups)
        return {};
    find_cgroups(*cgroups, found);
    const std::optional<std::string> mounts = read_file(root + "/proc/self/mountinfo");
    if (!mounts)
        return {};
    find_mounts(*mounts, found);
    const std::vector<std::string> unified = directories(root, found.unified);
    const std::uint64_t memory = std::min(
        least(unified, [](const std::string& dir) { return number_in(dir + "/memory.max"); }),
        least(directories(root, found.memory),
              [](const std::string& dir) { return number_in(dir + "/memory.limit_in_bytes"); }));
    const std::uint64_t cpus =
        std::min(least(unified, v2_cpus), least(directories(root, found.cpu), v1_cpus));
    return {memory, static_cast<std::size_t>(std::min<std::uint64_t>(cpus, SIZE_MAX))};
}

process_limits read_process_limits()
{
    const cgroup_limits cgroups = read_cgroup_limits("");
    std::uint64_t memory = cgroups.memory;
    if (const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
        pages > 0 && size > 0)
        memory =
            std::min(memory, static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(size));
    std::uint64_t address_space = UINT64_MAX;
    for (int resource : {RLIMIT_AS, RLIMIT_DATA})
        if (rlimit limit; getrlimit(resource, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
            address_space = std::min<std::uint64_t>(address_space, limit.rlim_cur);
    std::size_t cpus = 1;
    if (cpu_set_t allowed; sched_getaffinity(0, sizeof allowed, &allowed) == 0)
        cpus = static_cast<std::size_t>(CPU_COUNT(&allowed));
    return {memory, address_space, std::max<std::size_t>(1, std::min(cpus, cgroups.cpus))};
}
