#pragma once
// Runs kestrune-cli (or another program) as a child process with its own environment and
// collects what it printed.
#include <map>
#include <string>
#include <vector>

namespace clitest {

struct ProcessResult {
    int status = -1; // exit status; 128 + signal when killed
    std::string out;
    std::string err;
};

struct ProcessOptions {
    std::map<std::string, std::string> env; // added to (or replacing) the test's environment
    std::string input;                      // written to standard input, then closed
    bool terminalInput = false;             // standard input is a pseudo-terminal instead
    // Standard output is a pipe whose reader is gone, with SIGPIPE ignored: every write fails.
    bool closedOutput = false;
    int timeoutSeconds = 120;
    // Standard input and standard error on a pseudo-terminal this many columns wide (0: no).
    int terminalColumns = 0;
    // Sent to the program, in order, each once its standard error holds the text (searched
    // after where the one before was found).
    struct SignalAt {
        std::string after;
        int signal;
    };
    std::vector<SignalAt> signals;
};

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options);

// Starts program with its output thrown away and returns its process ID (-1 on failure), for
// tests that interrupt it; the caller waits for it.
int StartProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env);

// A program that keeps running beside the test (the pseudo-terminal display) until destroyed.
class BackgroundProcess {
public:
    BackgroundProcess(const std::string& program, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // The first line it printed on standard output (waits up to timeoutMs); "" when none came.
    std::string FirstLine(int timeoutMs = 10000);

private:
    int pid_ = -1;
    int out_ = -1;
    std::string buffer_;
};

} // namespace clitest
