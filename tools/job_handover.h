// SPDX-License-Identifier: MIT
// The tool's running job, shared between the thread that runs it (the job
// loop) and a thread that has to end the tool while it runs: on Windows the
// console handler for a closed console, a logoff or a shutdown, after which
// the system ends the process. The library forbids overlapping frees of one
// id, so exactly one of the two frees the job: whichever claims it first.
#pragma once

#include <atomic>

class JobHandover {
 public:
  // The job loop, once gifexport_start has returned id for output_file (the
  // plain file path, which must outlive the job).
  void hold(int id, const char *output_file);

  // The job loop, instead of gifexport_free: true once it has freed the job;
  // false when the other thread has taken it, which frees it and ends the
  // tool. A second call does nothing and returns the first one's answer.
  bool free_by_loop();

  // True once the other thread has taken the job: the job loop must not touch
  // the id again.
  bool taken() const;

  // The other thread: if the job loop still holds the job, cancels and frees
  // it, then removes what stands at the output path (a GIF finished meanwhile
  // too, as the user asked to stop) and returns true. False when no job is
  // held or the job loop is freeing it or has freed it.
  bool take_and_end();

  // True while the job loop is freeing the job or once it has: the loop then
  // ends the tool itself.
  bool loop_frees() const;

 private:
  enum State : int { kNoJob, kLoopHolds, kLoopFreeing, kLoopFreed, kTaken };
  // id_ and output_ are written before state_ publishes them.
  std::atomic<int> state_{kNoJob};
  std::atomic<int> id_{-1};
  std::atomic<const char *> output_{nullptr};
};

// What tells the console handler that another thread ends the tool.
constexpr int kEndedElsewhere = -1;

// The work of Windows' console handler on a closed console, a logoff or a
// shutdown, before the process ends: takes, cancels and frees the job the
// loop holds and removes its output (JobHandover::take_and_end). Returns the
// exit code of the first signal of the run (129 for SIGHUP, 143 for SIGTERM,
// 130 after a Ctrl-C) once nothing is left to free, or kEndedElsewhere when
// the job loop frees the job (or has freed it) and ends the tool itself, with
// that code if this event came before its ending.
int end_job_for_console_event(JobHandover &job, int first_signal);
