// SPDX-License-Identifier: MIT
// Spawns tokcollect with pipes and feeds and drains them with poll(), so that
// neither side can block the other however large the input or the output.
#include "run_program.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <fcntl.h>
#include <iterator>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sched.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

void check(bool ok, const char* what)
{
    if (!ok)
        throw std::runtime_error(what);
}

} // namespace

// A seccomp filter that fails getrandom() with ENOSYS, as an old kernel
// would, small reads of standard input with `read_errno`, and preads other
// than the 4096-byte probes at offsets from `pread_fails_from` up to
// `pread_fails_to` with `pread_errno`: the syscall's arguments are read 32
// bits at a time, low word first, and offsets compared high word first.
void install_filter(const run_options& options)
{
    constexpr auto arg_low = [](int i) {
        return static_cast<unsigned>(offsetof(seccomp_data, args) + 8 * i);
    };
    const auto from = static_cast<unsigned long>(options.pread_fails_from);
    const auto to = static_cast<unsigned long>(options.pread_fails_to);
    const auto high = [](unsigned long offset) { return static_cast<unsigned>(offset >> 32); };
    const auto low = [](unsigned long offset) { return static_cast<unsigned>(offset); };
    const unsigned refuse_getrandom = options.without_getrandom ? SYS_getrandom : ~0u;
    const unsigned fail_read = options.read_fails_below ? SYS_read : ~0u;
    const unsigned fail_pread = options.pread_fails_from >= 0 ? SYS_pread64 : ~0u;
    const unsigned pread_errno = SECCOMP_RET_ERRNO | static_cast<unsigned>(options.pread_errno);
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, refuse_getrandom, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, fail_read, 0, 6),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg_low(0)), // the descriptor
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg_low(2)), // the count
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, options.read_fails_below, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(options.read_errno)),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, fail_pread, 0, 13),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg_low(2)), // the count
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 4096, 11, 0),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg_low(3) + 4), // the offset, high word
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, high(from), 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, high(from), 0, 8),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg_low(3)),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, low(from), 0, 6),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg_low(3) + 4), // at least `from`: below `to`?
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, high(to), 4, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, high(to), 0, 2),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg_low(3)),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, low(to), 1, 0),
        BPF_STMT(BPF_RET | BPF_K, pread_errno),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program);
}

namespace
{

[[noreturn]] void exec_child(const run_options& options, int in[2], int out[2], int err[2])
{
    if (options.in == stdin_is::piped || options.in == stdin_is::filled_pipe)
        dup2(in[0], 0);
    else if (options.in == stdin_is::file)
        dup2(open(options.input_file.c_str(), O_RDONLY | O_CLOEXEC), 0);
    else if (options.in == stdin_is::descriptor)
        dup2(options.input_fd, 0);
    else if (options.in == stdin_is::directory)
        dup2(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC), 0);
    else
        close(0);
    if (options.out == stdout_is::piped)
        dup2(out[1], 1);
    else if (options.out == stdout_is::dev_full)
        dup2(open("/dev/full", O_WRONLY | O_CLOEXEC), 1);
    else if (options.out == stdout_is::file_with_stderr)
        dup2(open(options.output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600), 1);
    else
        close(1);
    dup2(options.out == stdout_is::file_with_stderr ? 1 : err[1], 2);
    // The test ignores SIGPIPE for itself; the program gets the default, as from a shell.
    signal(SIGPIPE, SIG_DFL);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
        close(fd);
    if (options.nonblocking) {
        fcntl(0, F_SETFL, O_NONBLOCK);
        fcntl(1, F_SETFL, O_NONBLOCK);
        fcntl(1, F_SETPIPE_SZ, 4096);
    }
    if (options.without_getrandom || options.pread_fails_from >= 0 || options.read_fails_below)
        install_filter(options);
    for (auto [resource, bytes] : {std::pair{RLIMIT_AS, options.address_space_limit},
                                   std::pair{RLIMIT_STACK, options.stack_limit}}) {
        const rlimit limit{static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
        if (bytes)
            setrlimit(resource, &limit);
    }
    if (cpu_set_t allowed; options.cpus && sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        for (int cpu = 0, kept = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &allowed) && ++kept > options.cpus)
                CPU_CLR(cpu, &allowed);
        sched_setaffinity(0, sizeof allowed, &allowed);
    }
    std::vector<char*> argv{const_cast<char*>(TOKCOLLECT_PATH)};
    for (const std::string& arg : options.args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(TOKCOLLECT_PATH, argv.data());
    _exit(127);
}

// Writes `input` to `to` while draining `out` and `err` until both are closed.
void pump(std::string_view input, int to, int out, int err, run_result& result)
{
    pollfd fds[3] = {{out, POLLIN, 0}, {err, POLLIN, 0}, {input.empty() ? -1 : to, POLLOUT, 0}};
    if (input.empty())
        close(to);
    // A blocking write of a large piece would wait for the child to read it
    // all, while the child may be waiting for us to drain its output.
    fcntl(to, F_SETFL, O_NONBLOCK);
    size_t sent = 0;
    char buffer[65536];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        check(poll(fds, 3, -1) >= 0 || errno == EINTR, "poll");
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents)
                continue;
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0)
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
            else {
                close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
        if (fds[2].fd >= 0 && fds[2].revents) {
            ssize_t n = write(to, input.data() + sent, input.size() - sent);
            if (n > 0)
                sent += static_cast<size_t>(n);
            if ((n < 0 && errno != EAGAIN) || sent == input.size()) {
                close(to);
                fds[2].fd = -1;
            }
        }
    }
    if (fds[2].fd >= 0)
        close(to);
}

// Writes the whole input into the pipe `in`, enlarged to hold it, and closes
// our end.
void fill_pipe(int in[2], std::string_view input)
{
    check(fcntl(in[1], F_SETPIPE_SZ, std::max<size_t>(input.size(), 4096)) >= 0, "F_SETPIPE_SZ");
    check(write(in[1], input.data(), input.size()) == static_cast<ssize_t>(input.size()),
          "filling the pipe");
    close(in[1]);
    in[1] = -1;
}

} // namespace

running_program start_tokcollect(const run_options& options, std::string_view filled_input)
{
    int in[2], out[2], err[2];
    check(pipe2(in, O_CLOEXEC) == 0 && pipe2(out, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0,
          "pipe");
    if (options.in == stdin_is::filled_pipe)
        fill_pipe(in, filled_input);
    pid_t pid = fork();
    check(pid >= 0, "fork");
    if (pid == 0)
        exec_child(options, in, out, err);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    // A child that stops reading early must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    return {pid, in[1], out[0], err[0]};
}

run_result finish(const running_program& program, std::string_view input)
{
    run_result result{};
    pump(input, program.in, program.out, program.err, result);
    int status = 0;
    rusage usage{};
    check(wait4(program.pid, &status, 0, &usage) == program.pid, "wait4");
    result.peak_rss_kib = usage.ru_maxrss;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

run_result run_tokcollect(std::string_view input, const run_options& options)
{
    if (options.in == stdin_is::filled_pipe)
        return finish(start_tokcollect(options, input), "");
    return finish(start_tokcollect(options), input);
}

std::string read_within(int fd, size_t size, int timeout_ms)
{
    std::string text;
    pollfd ready{fd, POLLIN, 0};
    char buffer[4096];
    while (text.size() < size && poll(&ready, 1, timeout_ms) > 0) {
        ssize_t n = read(fd, buffer, std::min(sizeof buffer, size - text.size()));
        if (n <= 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

std::string contents(int fd)
{
    std::string text;
    char block[65536];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, block, sizeof block)) > 0;)
        text.append(block, static_cast<size_t>(n));
    return text;
}

std::string escape(std::string_view bytes)
{
    std::string text;
    for (unsigned char c : bytes) {
        if (c == '\n')
            text += "\\n\n";
        else if (c < 0x20 || c >= 0x7F || c == '\\') {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02X", c);
            text += code;
        } else
            text += static_cast<char>(c);
    }
    return text;
}
