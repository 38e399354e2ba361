// SPDX-License-Identifier: MIT
// The tool's running job, shared between the thread that runs it (the job
// loop) and a thread that has to end the tool while it runs: on Windows the
// console handler for a closed console, a logoff or a shutdown, after which
// the system ends the process. The library forbids overlapping frees of one
// id, so exactly one of the two frees the job: whichever claims it first.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

// How long the end of a job for a console event waits for the job's free.
// Windows ends the process about 5 s after a closed console, a logoff or a
// shutdown; the job's files must be gone before that.
constexpr std::chrono::milliseconds kEndBound{3000};

// The library calls that stop a job; tests put stand-ins in their place.
struct JobCalls {
  std::function<void(int id)> cancel;
  std::function<void(int id)> free;
};

// gifexport_cancel and gifexport_free.
JobCalls library_job_calls();

class JobHandover {
 public:
  explicit JobHandover(JobCalls calls = library_job_calls());
  // Waits for a free that end_within started and left running.
  ~JobHandover();
  JobHandover(const JobHandover &) = delete;
  JobHandover &operator=(const JobHandover &) = delete;

  // The job loop, once gifexport_start has returned id for output_file (the
  // plain file path). Called once.
  void hold(int id, const char *output_file);

  // The job loop, instead of gifexport_free: true once it has freed the job;
  // false when the other thread has taken it, which frees it and ends the
  // tool. A second call does nothing and returns the first one's answer.
  bool free_by_loop();

  // True once the other thread has taken the job: the job loop must not touch
  // the id again.
  bool taken() const;

  // True while the job loop is freeing the job or once it has.
  bool loop_frees() const;

  enum class Ending {
    kNoJob,        // none was held
    kTakenBefore,  // an earlier call took the job, and ends the tool
    kLoopFreed,    // the job loop freed the job in time and ends the tool itself
    kFreed,        // the job was freed in time; its files are gone
    kBoundPassed,  // the free had not returned by the bound; its files are gone
  };

  // The end of the job when the process is about to be ended from outside
  // (Windows' console handler), the same whichever thread frees it: if the
  // job loop still holds the job, takes it, cancels it and starts its free on
  // a thread of its own; if the loop is freeing it, that free is the one
  // waited for. Waits for the free at most `bound`, then removes the job's
  // files (remove_files), unless the loop freed the job in time: the loop
  // then ends the tool and judges its output itself. Returns by the bound
  // whatever the free does: a free waiting on a slow read would otherwise
  // be cut off by the system half-way, its files left behind.
  Ending end_within(std::chrono::milliseconds bound);

  // Removes what stands at the output path (a GIF finished meanwhile too, as
  // the user asked to stop) and the job's temporary file beside the file the
  // path names. Nothing before hold.
  void remove_files() const;

  // The job's temporary file, or null before hold (or when the output path's
  // links cannot be followed, so the library writes it directly). Safe to
  // read in a signal handler.
  const char *temp_file() const { return temp_.load(); }

 private:
  enum State : int { kNone, kLoopHolds, kLoopFreeing, kLoopFreed, kTaken, kTakenFreed };
  bool freed() const;

  JobCalls calls_;
  // The paths and id are written before state_ publishes them.
  std::atomic<int> state_{kNone};
  std::atomic<int> id_{-1};
  std::string output_path_;
  std::string temp_path_;
  std::atomic<const char *> temp_{nullptr};
  std::thread free_thread_;
};

// What tells the console handler that another thread ends the tool.
constexpr int kEndedElsewhere = -1;

// The work of Windows' console handler on a closed console, a logoff or a
// shutdown, before the process ends: JobHandover::end_within. Returns the
// exit code of the first signal of the run (129 for SIGHUP, 143 for SIGTERM,
// 130 after a Ctrl-C) once the job is freed or the bound has passed, with the
// job's files removed, or kEndedElsewhere when the job loop freed the job
// within the bound (or an earlier event took it) and ends the tool itself.
int end_job_for_console_event(JobHandover &job, int first_signal,
                              std::chrono::milliseconds bound = kEndBound);
