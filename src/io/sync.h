// Checked mutex and condition calls for the worker threads.
//
// These calls fail only when the program misuses them (an uninitialised or
// destroyed object, a lock not held): then nothing can be trusted any more,
// and sync_failed hands the call's name to the abort hook and aborts.
#pragma once

#include <pthread.h>

#include <cstdint>

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

// A pool of worker threads, for the templates below, has: mutex; queued
// (a job was submitted, or stopping) and finished (a job was done);
// submitted and taken (job counters); stopping; and workers[0 .. running),
// each with its pthread_t in `thread`.

// The loop of a pool's worker thread: takes the jobs in the order they were
// submitted, runs each with the mutex released (run(job number) returns the
// job's done flag), marks it done and wakes those waiting on finished; ends
// when the pool stops.
template <typename Pool, typename Run>
void sync_serve(Pool &pool, Run run) {
  sync_lock(&pool.mutex);
  for (;;) {
    while (!pool.stopping && pool.taken == pool.submitted) sync_wait(&pool.queued, &pool.mutex);
    if (pool.stopping) break;
    uint64_t job = pool.taken++;
    sync_unlock(&pool.mutex);
    bool &done = run(job);
    sync_lock(&pool.mutex);
    done = true;
    sync_broadcast(&pool.finished);
  }
  sync_unlock(&pool.mutex);
}

// Ends a pool's workers: sets stopping, wakes them and joins them.
template <typename Pool>
void sync_stop_workers(Pool &pool) {
  if (pool.running <= 0) return;
  sync_lock(&pool.mutex);
  pool.stopping = true;
  sync_broadcast(&pool.queued);
  sync_unlock(&pool.mutex);
  for (int i = 0; i < pool.running; i++)
    if (pthread_join(pool.workers[i].thread, nullptr) != 0) sync_failed("pthread_join");
}

}  // namespace kapsa
