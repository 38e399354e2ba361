// SPDX-License-Identifier: MIT
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
// A signal that ends the tool gives 128 + its number, as a shell reports a
// program killed by it.
constexpr int EXIT_HANGUP = 129;       // SIGHUP (on Windows: the console closed)
constexpr int EXIT_INTERRUPTED = 130;  // SIGINT
constexpr int EXIT_TERMINATED = 143;   // SIGTERM

// For a negative result of gifexport_start.
Outcome start_outcome(int code);

// For gifexport_start's GIFEXPORT_ERR_ARGS when a probe of the input reports
// no duration (APNG, FLIC, raw H.264 ...): no window of it can be exported.
Outcome no_duration_outcome();

// For SIGINT, SIGTERM or SIGHUP ending the tool; the message says no file was
// left. Any other signal number gets the SIGTERM outcome.
Outcome signal_outcome(int signal_number);

// For the failure text of a failed job.
Outcome failure_outcome(const std::string &failure_text);

// The table of exit codes, for --help.
std::string exit_code_table();
