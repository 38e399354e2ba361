// SPDX-License-Identifier: MIT
#include "cli_outcomes.h"

#include <csignal>

// Windows has SIGINT and SIGTERM but no SIGHUP; the tool gives a closed
// console its number, so the exit codes are the same everywhere.
#ifndef SIGHUP
#define SIGHUP 1
#endif
#include <cstdio>

#include "gifexport.h"

namespace {

struct StartRow {
  int code;
  Outcome outcome;
};

const StartRow kStartRows[] = {
    {GIFEXPORT_ERR_ARGS, {3, "invalid arguments: check the paths and the window (it must hold part of the input)"}},
    {GIFEXPORT_ERR_BUSY, {4, "two exports are already running in this process"}},
    {GIFEXPORT_ERR_OPEN, {5, "the input cannot be opened or is not a media file"}},
    {GIFEXPORT_ERR_THREAD, {6, "the export thread could not be started"}},
    {GIFEXPORT_ERR_NO_VIDEO, {7, "the input has no video stream"}},
};

struct FailureRow {
  const char *text;
  Outcome outcome;
};

const FailureRow kFailureRows[] = {
    {"cannot open input", {10, "the input could no longer be opened"}},
    {"no stream info", {11, "the input's streams could not be read"}},
    {"no video stream", {12, "the input has no video stream"}},
    {"no decoder", {13, "no decoder for the input's video codec"}},
    {"decoder open failed", {14, "the video decoder refused the input"}},
    {"graph alloc", {15, "out of memory while building the filters"}},
    {"buffer filters failed", {16, "the filters refused the decoded picture format"}},
    {"filter parse failed", {17, "a required filter is missing from the media libraries"}},
    {"filter config failed", {18, "the filters could not agree on a picture format"}},
    {"oom", {19, "out of memory"}},
    {"decode error", {20, "the video could not be decoded (damaged input?)"}},
    {"filter feed failed", {21, "the filters refused a decoded frame"}},
    {"filter drain failed", {22, "the filters failed while producing the GIF frames"}},
    {"no gif encoder", {23, "the media libraries have no GIF encoder"}},
    {"gif encoder open failed", {24, "the GIF encoder refused the picture"}},
    {"cannot create output", {25, "the media libraries have no GIF writer"}},
    {"new stream failed", {26, "out of memory while creating the GIF"}},
    {"cannot open output file", {27, "the output file cannot be created (missing folder? no permission?)"}},
    {"write header failed", {28, "the GIF header could not be written"}},
    {"encode failed", {29, "the GIF encoder refused a frame"}},
    {"no frames in segment", {30, "the window holds no decodable video frame"}},
    {"write failed", {31, "writing the GIF failed (disk full?); nothing was kept"}},
};

constexpr Outcome kNoDuration{
    3, "the input reports no duration, so no window of it can be exported"};

const Outcome kHangup{EXIT_HANGUP, "hung up (SIGHUP); no file was left"};
const Outcome kInterrupted{EXIT_INTERRUPTED, "interrupted; no file was left"};
const Outcome kTerminated{EXIT_TERMINATED, "terminated (SIGTERM); no file was left"};

}  // namespace

Outcome no_duration_outcome() { return kNoDuration; }

Outcome signal_outcome(int signal_number) {
  if (signal_number == SIGINT) return kInterrupted;
  if (signal_number == SIGHUP) return kHangup;
  return kTerminated;
}

Outcome start_outcome(int code) {
  for (const auto &row : kStartRows)
    if (row.code == code) return row.outcome;
  return {EXIT_UNKNOWN_FAILURE, "the export could not be started"};
}

Outcome failure_outcome(const std::string &failure_text) {
  for (const auto &row : kFailureRows)
    if (failure_text == row.text) return row.outcome;
  return {EXIT_UNKNOWN_FAILURE, "the export failed"};
}

std::string exit_code_table() {
  std::string table;
  char line[192];
  auto add = [&](int code, const char *what) {
    std::snprintf(line, sizeof line, "  %3d  %s\n", code, what);
    table += line;
  };
  add(EXIT_OK, "done");
  add(EXIT_PROBE_NOT_OK, "probe: the file cannot be described");
  add(EXIT_USAGE, "usage error");
  for (const auto &row : kStartRows) {
    add(row.outcome.exit_code, row.outcome.message);
    if (row.code == GIFEXPORT_ERR_ARGS) add(kNoDuration.exit_code, kNoDuration.message);
  }
  add(EXIT_SAMPLE_FAILED, "demo: the sample clip could not be made");
  add(EXIT_UNKNOWN_FAILURE, "a failure this tool does not know");
  for (const auto &row : kFailureRows) add(row.outcome.exit_code, row.outcome.message);
  add(EXIT_HANGUP, "hung up (SIGHUP); no file is left");
  add(EXIT_INTERRUPTED, "interrupted (Ctrl-C, SIGINT); no file is left");
  add(EXIT_TERMINATED, "terminated (SIGTERM); no file is left");
  return table;
}
