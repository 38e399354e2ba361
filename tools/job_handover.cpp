// SPDX-License-Identifier: MIT
#include "job_handover.h"

#include "cli_outcomes.h"
#include "gifexport.h"
#include "output_removal.h"

void JobHandover::hold(int id, const char *output_file) {
  id_.store(id);
  output_.store(output_file);
  state_.store(kLoopHolds);
}

bool JobHandover::free_by_loop() {
  int held = kLoopHolds;
  if (state_.compare_exchange_strong(held, kLoopFreeing)) {
    gifexport_free(id_.load());
    state_.store(kLoopFreed);
    return true;
  }
  return held != kTaken;
}

bool JobHandover::taken() const { return state_.load() == kTaken; }

bool JobHandover::loop_frees() const {
  const int state = state_.load();
  return state == kLoopFreeing || state == kLoopFreed;
}

bool JobHandover::take_and_end() {
  int held = kLoopHolds;
  if (!state_.compare_exchange_strong(held, kTaken)) return false;
  const int id = id_.load();
  // Freeing cancels too; cancelling first lets the worker stop while the free
  // is still on its way in.
  gifexport_cancel(id);
  gifexport_free(id);
  remove_file_only(output_.load());
  return true;
}

int end_job_for_console_event(JobHandover &job, int first_signal) {
  if (!job.take_and_end() && (job.loop_frees() || job.taken())) return kEndedElsewhere;
  return signal_outcome(first_signal).exit_code;
}
