// SPDX-License-Identifier: MIT
/* The smallest host for timing a whole job: start it, wait for its end with a
 * 1 ms poll (so the host adds at most a millisecond), free it.
 *   bench_host IN OUT START_MS END_MS WIDTH FPS
 * Exits 0 when the job ended done. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "gifexport.h"

int main(int argc, char **argv) {
  if (argc != 7) {
    fprintf(stderr, "usage: bench_host IN OUT START_MS END_MS WIDTH FPS\n");
    return 2;
  }
  const int id = gifexport_start(argv[1], argv[2], atoll(argv[3]), atoll(argv[4]), atoi(argv[5]),
                                 atoi(argv[6]));
  if (id < 0) {
    fprintf(stderr, "bench_host: start refused (%d)\n", id);
    return 3;
  }
  const struct timespec pause = {0, 1000000};
  while (gifexport_status(id) < GIFEXPORT_STATE_DONE) nanosleep(&pause, NULL);
  const int state = gifexport_status(id);
  if (state != GIFEXPORT_STATE_DONE) fprintf(stderr, "bench_host: %s\n", gifexport_result(id));
  gifexport_free(id);
  return state == GIFEXPORT_STATE_DONE ? 0 : 4;
}
