#pragma once
// Where one run's results, messages and requests go, as --json, -q and -v ask. The commands
// report to the run's Output; only it decides what reaches standard output and error.
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

namespace cli {

struct OutputMode {
    bool json = false;      // one JSON document on standard output in place of the result text
    bool jsonLines = false; // history: one JSON object a record, as the log is read
    bool quiet = false;     // no progress and no informational lines; results and errors stay
    bool verbose = false;   // every request to the converter and the display on standard error
};

class Output {
public:
    explicit Output(OutputMode mode = {}, std::FILE* out = stdout, std::FILE* err = stderr);

    const OutputMode& Mode() const { return mode_; }
    bool Json() const { return mode_.json || mode_.jsonLines; }

    // A result for standard output, a line feed added when missing; left out under --json,
    // where the command puts the same facts into Result().
    void Text(std::string text);
    // An informational line on standard error ("kestrune-cli: " in front); nothing under -q.
    void Info(const std::string& text);
    // The fields of the JSON document.
    nlohmann::json& Result() { return result_; }
    // One JSON object a line (--json-lines), written at once.
    void Line(const nlohmann::json& object);
    // Under --json, the document: the command, its exit status and the fields, on one line.
    void Finish(const std::string& command, int status);

private:
    OutputMode mode_;
    std::FILE* out_;
    std::FILE* err_;
    nlohmann::json result_ = nlohmann::json::object();
};

// The run's Output (a default one until Main sets its own).
Output& Out();
// Replaces the run's Output; returns the one it replaced.
Output* SetOutput(Output* output);

// Writes each request to the converter and the display, with its time, to err while set.
void TraceRequests(std::FILE* err);
void StopTracingRequests();

} // namespace cli
