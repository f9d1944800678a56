// SPDX-License-Identifier: MIT
// The collector in a child of this process on a forced number of threads: for
// each count given, collects FILE into /dev/null, ROUNDS times in interleaved
// rounds, and prints a Markdown row of the medians of the wall time, the CPU
// time of all threads and of the thread that reads, the longest stretch
// during which the collector ran on one thread only, and the peak RSS. With
// --pipe, FILE comes through a pipe from `cat FILE`, whose CPU time is not
// counted.
//
//   tokcollect_bench_threads [--pipe] FILE ROUNDS THREADS...
//
// A sampler thread looks every half millisecond at how many threads the
// process has; the stretches with none but itself and the collector's own
// are its one-threaded phases: planning and gathering between the
// threaded ones, and the tail of a threaded phase that one thread finishes
// alone. The sampler's own CPU time is left out.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <string_view>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "driver.h"

namespace
{

double seconds(const timeval& t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double cpu_seconds()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double thread_cpu_seconds()
{
    timespec cpu;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    return static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) / 1e9;
}

// `cat path` writing into a pipe, spawned rather than forked, so that this
// process's pages are not shared copy-on-write with it meanwhile; returns
// the pipe's read end, or -1.
int piped_from(const char* path, pid_t& child)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    char cat[] = "cat";
    char* const argv[] = {cat, const_cast<char*>(path), nullptr};
    const int failed = posix_spawnp(&child, "cat", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    return failed ? -1 : ends[0];
}

std::size_t thread_count()
{
    DIR* tasks = opendir("/proc/self/task");
    std::size_t count = 0;
    while (const dirent* task = readdir(tasks))
        count += task->d_name[0] != '.';
    closedir(tasks);
    return count;
}

using clock_type = std::chrono::steady_clock;

// Watches for the stretches that the process spends with `alone` threads,
// and keeps the longest.
struct sampler {
    std::atomic<bool> done = false;
    double longest = 0;
    double own_cpu = 0;

    void run(std::size_t alone)
    {
        clock_type::time_point since{};
        bool single = false;
        while (!done) {
            const bool now_single = thread_count() <= alone;
            const clock_type::time_point now = clock_type::now();
            if (now_single && !single)
                since = now;
            if (now_single)
                longest = std::max(longest, std::chrono::duration<double>(now - since).count());
            single = now_single;
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        own_cpu = thread_cpu_seconds();
    }
};

// Resets the peak RSS that peak_rss_mib() reads.
void reset_peak_rss()
{
    const int fd = open("/proc/self/clear_refs", O_WRONLY);
    if (fd >= 0 && write(fd, "5", 1) < 0)
        std::perror("clear_refs");
    close(fd);
}

double peak_rss_mib()
{
    FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    double kib = 0;
    while (status && std::fgets(line, sizeof line, status))
        std::sscanf(line, "VmHWM: %lf kB", &kib);
    if (status)
        std::fclose(status);
    return kib / 1024;
}

struct run {
    double wall = 0, cpu = 0, reader_cpu = 0, longest = 0, rss = 0;
};

// One collection of `path`, from a pipe if `piped`, on `threads` threads, or
// a status other than 0.
int collect_here(const char* path, bool piped, std::size_t threads, run& result)
{
    pid_t child = 0;
    const int in = piped ? piped_from(path, child) : open(path, O_RDONLY);
    const int out = open("/dev/null", O_WRONLY);
    if (in < 0 || out < 0) {
        std::perror(path);
        return 2;
    }
    reset_peak_rss();
    sampler watch;
    const std::size_t alone = thread_count() + 1; // this one and the sampler
    const double cpu_before = cpu_seconds(), reader_before = thread_cpu_seconds();
    const clock_type::time_point start = clock_type::now();
    std::thread watching([&] { watch.run(alone); });
    const int status = collect_tokens(in, out, out, {.threads = threads, .min_range = 1});
    result.wall = std::chrono::duration<double>(clock_type::now() - start).count();
    result.reader_cpu = thread_cpu_seconds() - reader_before;
    watch.done = true;
    watching.join();
    result.cpu = cpu_seconds() - cpu_before - watch.own_cpu;
    if (child > 0)
        waitpid(child, nullptr, 0);
    result.longest = watch.longest;
    result.rss = peak_rss_mib();
    close(in);
    close(out);
    return status;
}

// collect_here() in a child process of its own, so that its peak RSS counts
// no memory that the runs before it left to the allocator.
int collect(const char* path, bool piped, std::size_t threads, run& result)
{
    int ends[2];
    if (pipe(ends) != 0)
        return 2;
    const pid_t child = fork();
    if (child == 0) {
        close(ends[0]);
        const int status = collect_here(path, piped, threads, result);
        const bool sent = write(ends[1], &result, sizeof result) == sizeof result;
        _exit(sent ? status : 2);
    }
    close(ends[1]);
    const bool got = child > 0 && read(ends[0], &result, sizeof result) == sizeof result;
    close(ends[0]);
    int status = 0;
    if (child > 0)
        waitpid(child, &status, 0);
    return got && WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}

double median(std::vector<run>& runs, double run::*field)
{
    std::sort(runs.begin(), runs.end(),
              [field](const run& a, const run& b) { return a.*field < b.*field; });
    return runs[runs.size() / 2].*field;
}

} // namespace

int main(int argc, char** argv)
{
    const bool piped = argc > 1 && std::string_view(argv[1]) == "--pipe";
    argv += piped;
    argc -= piped;
    if (argc < 4) {
        std::fprintf(stderr, "usage: tokcollect_bench_threads [--pipe] FILE ROUNDS THREADS...\n");
        return 2;
    }
    const int rounds = std::max(1, std::atoi(argv[2]));
    std::vector<std::size_t> counts;
    for (int arg = 3; arg < argc; ++arg)
        counts.push_back(static_cast<std::size_t>(std::strtoul(argv[arg], nullptr, 10)));
    std::vector<std::vector<run>> runs(counts.size(), std::vector<run>(rounds));
    for (int round = 0; round < rounds; ++round)
        for (std::size_t i = 0; i < counts.size(); ++i)
            if (int status = collect(argv[1], piped, counts[i], runs[i][round]))
                return status;
    std::printf("| threads | wall ms | CPU ms | CPU / first row's | reading thread's CPU ms | "
                "longest one-threaded ms | of first row's wall | peak RSS MiB |\n"
                "|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    double first_wall = 0, first_cpu = 0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        const double wall = median(runs[i], &run::wall), cpu = median(runs[i], &run::cpu);
        const double longest = median(runs[i], &run::longest), rss = median(runs[i], &run::rss);
        const double reader = median(runs[i], &run::reader_cpu);
        if (i == 0) {
            first_wall = wall;
            first_cpu = cpu;
        }
        // On one thread the whole run is one-threaded.
        char longest_ms[32] = "—", share[32] = "—";
        if (counts[i] != 1) {
            std::snprintf(longest_ms, sizeof longest_ms, "%.0f", longest * 1000);
            std::snprintf(share, sizeof share, "%.1f %%", 100 * longest / first_wall);
        }
        std::printf("| %zu | %.0f | %.0f | %.2f | %.0f | %s | %s | %.0f |\n", counts[i],
                    wall * 1000, cpu * 1000, cpu / first_cpu, reader * 1000, longest_ms, share,
                    rss);
    }
    return 0;
}
