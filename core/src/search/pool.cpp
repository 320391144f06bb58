// The thread machinery behind pool.hpp: the helper threads, the list of open jobs, and what
// happens to both across fork().
#include "search/pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace tbx::pool {
namespace {

// A chunk is worth at least this much work, so that claiming it (one atomic add, possibly a
// cache-line transfer) is noise.
constexpr double kMinChunkNs = 20'000.0;
// Chunks per participating thread: a few, so that a thread slowed by another caller's job or by
// an uneven predicate leaves its share to the others.
constexpr size_t kChunksPerThread = 4;
// Chunks of a forced hand-off: many small ones, so that tests see chunk boundaries everywhere.
constexpr size_t kForcedChunks = 64;

// One call's work, living on the caller's stack for the duration of run_chunks.
struct Job {
  Job(detail::ChunkFn f, void* c, size_t n) noexcept : fn(f), ctx(c), chunks(n) {}
  detail::ChunkFn fn;
  void* ctx;
  size_t chunks;
  std::atomic<size_t> next{0};  // the next chunk to claim; claims past `chunks` find nothing
  // Guarded by the pool mutex. The caller may return only once no helper is attached, since an
  // attached helper may still be running a chunk or reading `next`.
  size_t attached = 0;
  bool caller_waiting = false;
  std::condition_variable done;  // signalled, under the mutex, when `attached` drops to 0
};

// Runs chunks of `job` until none is left to claim; returns how many it ran.
size_t work_on(Job& job) noexcept {
  size_t ran = 0;
  for (;;) {
    const size_t c = job.next.fetch_add(1, std::memory_order_relaxed);
    if (c >= job.chunks) return ran;
    job.fn(job.ctx, c);
    ++ran;
  }
}

struct Pool {
  // Pointers, so that a forked child can abandon the parent's copies (one locked by the forking
  // thread, one with waiters that do not exist in the child) and start from fresh ones.
  std::mutex* mutex = new std::mutex;
  std::condition_variable* wake = new std::condition_variable;  // a job was listed
  // Guarded by the mutex.
  std::vector<Job*> jobs;  // jobs whose callers are still claiming chunks, oldest first
  bool started = false;    // this process's helpers exist
  size_t running = 0;      // helpers this process managed to start
  std::atomic<uint64_t> helper_chunks{0};
};

// Never destroyed: helpers may be blocked on its members while the process exits.
Pool* the_pool = nullptr;

// True on a helper thread: pool calls made from inside a chunk run inline there.
thread_local bool on_helper = false;

size_t count_helpers() noexcept {
  size_t cpus = 0;
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) cpus = static_cast<size_t>(CPU_COUNT(&set));
  if (cpus == 0) cpus = std::thread::hardware_concurrency();
  return cpus > 1 ? cpus - 1 : 1;
}

Job* claimable_job(Pool& p) noexcept {
  for (Job* job : p.jobs)
    if (job->next.load(std::memory_order_relaxed) < job->chunks) return job;
  return nullptr;
}

void helper_main(Pool* p) noexcept {
  on_helper = true;
  std::unique_lock lock(*p->mutex);
  for (;;) {
    Job* job = claimable_job(*p);
    if (!job) {
      p->wake->wait(lock);
      continue;
    }
    ++job->attached;
    lock.unlock();
    const size_t ran = work_on(*job);
    lock.lock();
    p->helper_chunks.fetch_add(ran, std::memory_order_relaxed);
    if (--job->attached == 0 && job->caller_waiting) job->done.notify_one();
  }
}

// Starts this process's helpers; called with the mutex held. A helper that cannot be started is
// done without: the callers do the work themselves.
void start_helpers(Pool& p) noexcept {
  p.started = true;
  // Helpers block every signal, so that signals go to the threads that expect them.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  for (size_t i = 0, n = helper_count(); i < n; ++i) {
    try {
      std::thread t(helper_main, &p);
      pthread_setname_np(t.native_handle(), "tabrix-pool");
      t.detach();
      ++p.running;
    } catch (...) {
      break;
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// fork(): the prepare handler takes the mutex so that the child never copies a half-updated job
// list; the parent then simply releases it.
void before_fork() noexcept { the_pool->mutex->lock(); }
void after_fork_in_parent() noexcept { the_pool->mutex->unlock(); }
// The child has only the forking thread: the parent's helpers and the callers of every listed
// job are gone. Forget them and start helpers afresh on the next hand-off.
void after_fork_in_child() noexcept {
  Pool& p = *the_pool;
  p.mutex = new std::mutex;
  p.wake = new std::condition_variable;
  p.jobs.clear();
  p.started = false;
  p.running = 0;
}

Pool& pool() noexcept {
  static Pool* p = [] {
    the_pool = new Pool;
    the_pool->jobs.reserve(64);
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    return the_pool;
  }();
  return *p;
}

}  // namespace

size_t helper_count() noexcept {
  static const size_t n = count_helpers();
  return n;
}

uint64_t helper_chunks_run() noexcept {
  return pool().helper_chunks.load(std::memory_order_relaxed);
}

namespace detail {

size_t plan_chunks(size_t n, double total_ns, bool force_pool) noexcept {
  if (n < 2 || on_helper) return 1;
  if (force_pool) return std::min(n, kForcedChunks);
  if (!(total_ns >= kHandOffWorthNs)) return 1;
  const size_t by_threads = (helper_count() + 1) * kChunksPerThread;
  const size_t by_size = static_cast<size_t>(total_ns / kMinChunkNs);
  return std::clamp<size_t>(std::min(by_threads, by_size), 2, n);
}

void run_chunks(size_t chunks, ChunkFn fn, void* ctx) noexcept {
  if (chunks == 0) return;
  if (chunks == 1 || on_helper) {
    for (size_t c = 0; c < chunks; ++c) fn(ctx, c);
    return;
  }
  Pool& p = pool();
  Job job{fn, ctx, chunks};
  size_t helpers;
  {
    std::lock_guard lock(*p.mutex);
    if (!p.started) start_helpers(p);
    helpers = p.running;
    if (helpers > 0) p.jobs.push_back(&job);
  }
  if (helpers > 0) {
    if (chunks - 1 >= helpers) p.wake->notify_all();
    else
      for (size_t i = 0; i + 1 < chunks; ++i) p.wake->notify_one();
  }
  // The caller claims chunks like any helper, so the job finishes even if no helper comes.
  work_on(job);
  if (helpers == 0) return;
  std::unique_lock lock(*p.mutex);
  std::erase(p.jobs, &job);
  job.caller_waiting = true;
  job.done.wait(lock, [&] { return job.attached == 0; });
}

}  // namespace detail

}  // namespace tbx::pool
