// SPDX-License-Identifier: MIT
#include "job_handover.h"

#include <system_error>
#include <utility>

#include "cli_outcomes.h"
#include "gifexport.h"
#include "output_removal.h"
#include "platform/files.h"

namespace {

// Room for a followed link's target and the temporary file's name beside it,
// as the library allows.
constexpr size_t kPathCap = 4096 + 64;

}  // namespace

JobCalls library_job_calls() { return {gifexport_cancel, gifexport_free}; }

JobHandover::JobHandover(JobCalls calls) : calls_(std::move(calls)) {}

JobHandover::~JobHandover() {
  if (free_thread_.joinable()) free_thread_.join();
}

void JobHandover::hold(int id, const char *output_file) {
  id_.store(id);
  output_path_ = output_file;
  // Where the library puts the job's temporary file: beside the file a link
  // at the output path leads to.
  char final_path[kPathCap];
  char temp[kPathCap];
  if (ge_link_target(output_file, final_path, sizeof final_path) &&
      ge_temp_path_beside(final_path, id, temp, sizeof temp)) {
    temp_path_ = temp;
    temp_.store(temp_path_.c_str());
  }
  state_.store(kLoopHolds);
}

bool JobHandover::free_by_loop() {
  int held = kLoopHolds;
  if (state_.compare_exchange_strong(held, kLoopFreeing)) {
    calls_.free(id_.load());
    state_.store(kLoopFreed);
    return true;
  }
  return held != kTaken && held != kTakenFreed;
}

bool JobHandover::taken() const {
  const int state = state_.load();
  return state == kTaken || state == kTakenFreed;
}

bool JobHandover::loop_frees() const {
  const int state = state_.load();
  return state == kLoopFreeing || state == kLoopFreed;
}

bool JobHandover::freed() const {
  const int state = state_.load();
  return state == kLoopFreed || state == kTakenFreed;
}

JobHandover::Ending JobHandover::end_within(std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  int held = kLoopHolds;
  const bool took = state_.compare_exchange_strong(held, kTaken);
  if (!took) {
    if (held == kNone) return Ending::kNoJob;
    if (held == kTaken || held == kTakenFreed) return Ending::kTakenBefore;
    if (held == kLoopFreed) return Ending::kLoopFreed;
  } else {
    const int id = id_.load();
    // Freeing cancels too; cancelling first lets the worker stop while the
    // free is still on its way in.
    calls_.cancel(id);
    try {
      free_thread_ = std::thread([this, id] {
        calls_.free(id);
        state_.store(kTakenFreed);
      });
    } catch (const std::system_error &) {
      // No thread to free it on: the process ends without the free, as when
      // the bound passes.
    }
  }
  while (!freed() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const bool in_time = freed();
  if (!took && in_time) return Ending::kLoopFreed;
  remove_files();
  return in_time ? Ending::kFreed : Ending::kBoundPassed;
}

void JobHandover::remove_files() const {
  if (state_.load() == kNone) return;
  remove_file_only(output_path_.c_str());
  if (const char *temp = temp_.load()) remove_file_only(temp);
}

int end_job_for_console_event(JobHandover &job, int first_signal,
                              std::chrono::milliseconds bound) {
  switch (job.end_within(bound)) {
    case JobHandover::Ending::kTakenBefore:
    case JobHandover::Ending::kLoopFreed:
      return kEndedElsewhere;
    default:
      return signal_outcome(first_signal).exit_code;
  }
}
