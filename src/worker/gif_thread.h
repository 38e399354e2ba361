// SPDX-License-Identifier: MIT
// The worker routine: the whole conversion of one job, on the job's thread.
#pragma once

// Runs the job of the ge_session that arg points to and returns when the job
// has ended (done, cancelled or failed) and every media object is released.
void gif_thread(void *arg);
