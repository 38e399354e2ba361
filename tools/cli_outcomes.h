// What the gifexport tool tells the user, and the exit code, for every way a
// command can end.
#pragma once

#include <string>

struct Outcome {
  int exit_code;
  const char *message;
};

constexpr int EXIT_OK = 0;
constexpr int EXIT_PROBE_NOT_OK = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_SAMPLE_FAILED = 8;
constexpr int EXIT_UNKNOWN_FAILURE = 9;
constexpr int EXIT_INTERRUPTED = 130;

// For a negative result of gifexport_start.
Outcome start_outcome(int code);

// For the failure text of a failed job.
Outcome failure_outcome(const std::string &failure_text);

// The table of exit codes, for --help.
std::string exit_code_table();
