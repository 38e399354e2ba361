// SPDX-License-Identifier: MIT
#include "platform/thread.h"

void (*g_before_thread_create)() = nullptr;

#if defined(_WIN32)
#include <windows.h>

namespace {
// The platform's start signature; only runs the record's routine.
DWORD WINAPI ge_tramp(LPVOID param) {
  ge_thread *t = static_cast<ge_thread *>(param);
  t->routine(t->arg);
  return 0;
}
}  // namespace

bool ge_thread_start(ge_thread *t) {
  if (g_before_thread_create) g_before_thread_create();
  HANDLE h = CreateThread(nullptr, 0, ge_tramp, t, 0, nullptr);
  t->handle = h;
  return h != nullptr;
}

void ge_thread_join(ge_thread *t) {
  HANDLE h = static_cast<HANDLE>(t->handle);
  WaitForSingleObject(h, INFINITE);
  CloseHandle(h);
  t->handle = nullptr;
}

#else
#include <pthread.h>

#include <cstring>

static_assert(sizeof(pthread_t) <= sizeof(void *), "a pthread_t must fit the pointer-sized handle");

namespace {
void *ge_tramp(void *param) {
  ge_thread *t = static_cast<ge_thread *>(param);
  t->routine(t->arg);
  return nullptr;
}

pthread_t handle_to_pthread(void *handle) {
  pthread_t tid;
  std::memcpy(&tid, &handle, sizeof tid);
  return tid;
}
}  // namespace

bool ge_thread_start(ge_thread *t) {
  if (g_before_thread_create) g_before_thread_create();
  pthread_t tid;
  if (pthread_create(&tid, nullptr, ge_tramp, t) != 0) {
    t->handle = nullptr;
    return false;
  }
  void *handle = nullptr;
  std::memcpy(&handle, &tid, sizeof tid);
  t->handle = handle;
  return true;
}

void ge_thread_join(ge_thread *t) {
  // pthread_join both waits and releases the thread's resources.
  pthread_join(handle_to_pthread(t->handle), nullptr);
  t->handle = nullptr;
}
#endif
