// Checked mutex and condition calls for the worker threads.
//
// These calls fail only when the program misuses them (an uninitialised or
// destroyed object, a lock not held): then nothing can be trusted any more,
// and sync_failed hands the call's name to the abort hook and aborts.
#pragma once

#include <pthread.h>

namespace kapsa {

// Called with the name of the failed call just before the process aborts;
// the program sets it to say so in its own words.  Null: nothing is said.
extern void (*sync_abort_hook)(const char *call);

[[noreturn]] void sync_failed(const char *call);

inline void sync_lock(pthread_mutex_t *mutex) {
  if (pthread_mutex_lock(mutex) != 0) sync_failed("pthread_mutex_lock");
}

inline void sync_unlock(pthread_mutex_t *mutex) {
  if (pthread_mutex_unlock(mutex) != 0) sync_failed("pthread_mutex_unlock");
}

inline void sync_wait(pthread_cond_t *cond, pthread_mutex_t *mutex) {
  if (pthread_cond_wait(cond, mutex) != 0) sync_failed("pthread_cond_wait");
}

inline void sync_broadcast(pthread_cond_t *cond) {
  if (pthread_cond_broadcast(cond) != 0) sync_failed("pthread_cond_broadcast");
}

}  // namespace kapsa
