// SPDX-License-Identifier: MIT
// Waiting for a job started through the exports to reach its final state.
#pragma once

#include <chrono>
#include <thread>

#include "gifexport.h"

namespace testjob {

// Polls gifexport_status until the job is no longer pending or running, or
// two minutes pass (a guard against a hang, not a measure of speed); returns
// the last status seen.
inline int wait_final(int id) {
  const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  int state = gifexport_status(id);
  while ((state == GIFEXPORT_STATE_PENDING || state == GIFEXPORT_STATE_RUNNING) &&
         std::chrono::steady_clock::now() < stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    state = gifexport_status(id);
  }
  return state;
}

}  // namespace testjob
