#include "CliProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace clitest {

namespace {

std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& extra)
{
    std::map<std::string, std::string> all;
    for (char** e = environ; *e; ++e) {
        const char* equals = std::strchr(*e, '=');
        if (equals) all[std::string(*e, static_cast<std::size_t>(equals - *e))] = equals + 1;
    }
    for (const auto& [key, value] : extra) all[key] = value;
    std::vector<std::string> list;
    for (const auto& [key, value] : all) list.push_back(key + "=" + value);
    return list;
}

[[noreturn]] void Exec(const std::string& program, const std::vector<std::string>& args,
                       const std::vector<std::string>& env)
{
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
}

int StatusOf(int raw)
{
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

} // namespace

int StartProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env)
{
    const std::vector<std::string> merged = MergedEnvironment(env);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        for (int fd : {0, 1, 2}) ::dup2(null, fd);
        Exec(program, args, merged);
    }
    return pid;
}

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options)
{
    ProcessResult result;
    int outPipe[2], errPipe[2], inPipe[2] = {-1, -1};
    int master = -1, slave = -1;
    const bool terminal = options.terminalInput || options.terminalColumns > 0;
    if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) return result;
    if (terminal) {
        struct winsize size {};
        size.ws_row = 24;
        size.ws_col = static_cast<unsigned short>(options.terminalColumns > 0 ? options.terminalColumns : 80);
        if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) return result;
        if (options.terminalColumns > 0) {
            // Standard error is read from the terminal instead.
            ::close(errPipe[1]);
            ::close(errPipe[0]);
            errPipe[0] = ::dup(master);
            errPipe[1] = ::dup(slave);
        }
    } else if (::pipe(inPipe) != 0) {
        return result;
    }
    const std::vector<std::string> env = MergedEnvironment(options.env);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(terminal ? slave : inPipe[0], STDIN_FILENO);
        ::dup2(outPipe[1], STDOUT_FILENO);
        int closed[2];
        if (options.closedOutput && ::pipe(closed) == 0) {
            ::close(closed[0]);
            ::dup2(closed[1], STDOUT_FILENO);
            ::signal(SIGPIPE, SIG_IGN);
        }
        ::dup2(errPipe[1], STDERR_FILENO);
        for (int fd = 3; fd < 1024; ++fd) ::close(fd);
        Exec(program, args, env);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    int input = terminal ? master : inPipe[1];
    if (terminal) {
        ::close(slave);
    } else {
        ::close(inPipe[0]);
    }
    if (!options.input.empty()) {
        [[maybe_unused]] auto n = ::write(input, options.input.data(), options.input.size());
    }
    if (!terminal) {
        ::close(input);
        input = -1;
    }
    std::size_t nextSignal = 0;
    std::size_t searchFrom = 0;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        if (::poll(fds, 2, 200) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char chunk[4096];
            const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<std::size_t>(n));
                while (nextSignal < options.signals.size()) {
                    const std::size_t at = result.err.find(options.signals[nextSignal].after, searchFrom);
                    if (at == std::string::npos) break;
                    ::kill(pid, options.signals[nextSignal].signal);
                    searchFrom = at + options.signals[nextSignal].after.size();
                    ++nextSignal;
                }
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    if (open > 0) ::kill(pid, SIGKILL);
    for (auto& fd : fds) {
        if (fd.fd >= 0) ::close(fd.fd);
    }
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    if (input >= 0) ::close(input);
    result.status = StatusOf(raw);
    return result;
}

BackgroundProcess::BackgroundProcess(const std::string& program,
                                     const std::vector<std::string>& args,
                                     const std::map<std::string, std::string>& env)
{
    int outPipe[2];
    if (::pipe(outPipe) != 0) return;
    const std::vector<std::string> merged = MergedEnvironment(env);
    pid_ = ::fork();
    if (pid_ == 0) {
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(outPipe[1], STDOUT_FILENO);
        for (int fd = 3; fd < 1024; ++fd) ::close(fd);
        Exec(program, args, merged);
    }
    ::close(outPipe[1]);
    out_ = outPipe[0];
}

BackgroundProcess::~BackgroundProcess()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int raw = 0;
        ::waitpid(pid_, &raw, 0);
    }
    if (out_ >= 0) ::close(out_);
}

std::string BackgroundProcess::FirstLine(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (buffer_.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        struct pollfd fd = {out_, POLLIN, 0};
        if (::poll(&fd, 1, 100) <= 0) continue;
        char chunk[256];
        const ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n <= 0) break;
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
    const std::size_t end = buffer_.find('\n');
    return end == std::string::npos ? std::string() : buffer_.substr(0, end);
}

} // namespace clitest
