// SPDX-License-Identifier: MIT
// Worker threads: create one that runs a routine with one pointer argument,
// wait for its end without a time limit, release what it held.
#pragma once

// One record per worker thread, owned by its session slot. The thread's start
// routine receives the record itself and calls routine(arg).
struct ge_thread {
  void *handle;              // the platform's thread handle, pointer-sized and opaque
  void (*routine)(void *);   // always the worker routine
  void *arg;                 // the job's session slot
};

// Called, when set, just before each thread is created. Only tests set it,
// to widen the instant between a start's claim of a slot and its thread.
extern void (*g_before_thread_create)();

// Creates a thread running ge_tramp(t) and stores its handle in t->handle.
// Returns false (and leaves t->handle null) when no thread could be created.
bool ge_thread_start(ge_thread *t);

// Waits for the thread of t to end, with no time limit, then releases its
// handle. Call at most once per started thread.
void ge_thread_join(ge_thread *t);
