// Stress test of the worker pool, meant to run under ThreadSanitizer (see run_tsan.sh):
//  - many caller threads at once run find_first, filter, filter_map and sort over random data,
//    mostly with forced hand-off, and compare every result with the sequential answer;
//  - a pool call made from inside a chunk (nested use) completes;
//  - fork: the parent hands work to its helpers, forks while other threads are in the middle of
//    pool calls, and both the child and the parent then use the pool with real hand-off again.
// Prints one line per check and "N passed, N failed" at the end; exits non-zero on any failure.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "search/pool.hpp"

namespace pool = tbx::pool;

namespace {

int passed = 0, failed = 0;

void check(bool ok, const char* what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  std::fflush(stdout);
  (ok ? passed : failed)++;
}

// One random round of every operation; false (with a message) on the first wrong result.
bool one_round(std::mt19937_64& rng, bool force) {
  const pool::Cost cost{.ns_per_item = 10.0, .force_pool = force};
  // A quarter of the rounds are tiny: fewer items than forced chunks, odd numbers of sort runs.
  const size_t n = std::uniform_int_distribution<size_t>(0, rng() % 4 ? 20'000 : 100)(rng);
  const int range = std::uniform_int_distribution<int>(1, 1000)(rng);
  std::vector<int> data(n);
  for (int& v : data) v = std::uniform_int_distribution<int>(0, range - 1)(rng);
  const int target = std::uniform_int_distribution<int>(0, range)(rng);

  // find_first
  const size_t got = pool::find_first(n, [&](size_t i) { return data[i] == target; }, cost);
  const size_t want = static_cast<size_t>(std::find(data.begin(), data.end(), target) - data.begin());
  if (got != want) {
    std::printf("find_first: n=%zu target=%d got %zu want %zu\n", n, target, got, want);
    return false;
  }

  // filter
  const std::vector<size_t> kept = pool::filter(n, [&](size_t i) { return data[i] < target; }, cost);
  std::vector<size_t> kept_want;
  for (size_t i = 0; i < n; ++i)
    if (data[i] < target) kept_want.push_back(i);
  if (kept != kept_want) {
    std::printf("filter: n=%zu target=%d: %zu kept, want %zu\n", n, target, kept.size(),
                kept_want.size());
    return false;
  }

  // filter_map with texts
  const std::vector<std::string> texts = pool::filter_map(
      n,
      [&](size_t i) {
        return data[i] % 3 == 0 ? std::optional<std::string>(std::to_string(data[i]) + "#" +
                                                             std::to_string(i))
                                : std::nullopt;
      },
      cost);
  std::vector<std::string> texts_want;
  for (size_t i = 0; i < n; ++i)
    if (data[i] % 3 == 0) texts_want.push_back(std::to_string(data[i]) + "#" + std::to_string(i));
  if (texts != texts_want) {
    std::printf("filter_map: n=%zu differs\n", n);
    return false;
  }

  // sort of plain pairs: stability shows in the second member
  std::vector<std::pair<int, size_t>> pairs(n);
  for (size_t i = 0; i < n; ++i) pairs[i] = {data[i], i};
  auto by_key = [](const auto& a, const auto& b) { return a.first < b.first; };
  std::vector<std::pair<int, size_t>> pairs_want = pairs;
  std::stable_sort(pairs_want.begin(), pairs_want.end(), by_key);
  pool::sort(pairs.data(), pairs.data() + n, by_key, {.ns_per_item = 4.0, .force_pool = force});
  if (pairs != pairs_want) {
    std::printf("sort: n=%zu range=%d differs\n", n, range);
    return false;
  }

  // sort of texts (items whose moves change the source) on a prefix, with many ties
  std::vector<std::string> words(std::min<size_t>(n, 3000));
  for (size_t i = 0; i < words.size(); ++i)
    words[i] = std::to_string(data[i] % 17) + ":" + std::to_string(i) + std::string(i % 40, 'x');
  auto by_prefix = [](const std::string& a, const std::string& b) {
    return a.substr(0, a.find(':')) < b.substr(0, b.find(':'));
  };
  std::vector<std::string> words_want = words;
  std::stable_sort(words_want.begin(), words_want.end(), by_prefix);
  pool::sort(words.data(), words.data() + words.size(), by_prefix,
             {.ns_per_item = 20.0, .force_pool = force});
  if (words != words_want) {
    std::printf("sort of texts: n=%zu differs\n", words.size());
    return false;
  }
  return true;
}

bool many_callers(int threads, int rounds, uint64_t seed) {
  std::atomic<bool> ok{true};
  std::vector<std::thread> callers;
  for (int t = 0; t < threads; ++t) {
    callers.emplace_back([&, t] {
      std::mt19937_64 rng(seed + static_cast<uint64_t>(t));
      for (int r = 0; r < rounds && ok.load(); ++r) {
        // Mostly forced hand-off; now and then the inline path, racing the others.
        if (!one_round(rng, r % 5 != 4)) ok = false;
      }
    });
  }
  for (auto& c : callers) c.join();
  return ok;
}

void spin_for(std::chrono::microseconds d) {
  const auto end = std::chrono::steady_clock::now() + d;
  while (std::chrono::steady_clock::now() < end) {
  }
}

// First-match races whose outcome depends on which thread finds what first. 640 items in 64
// forced chunks of 10: the caller claims chunk 0 first and a helper usually claims chunk 1 while
// the caller is still slowed down in chunk 0. The lowest match must win either way.
bool timed_first_match() {
  struct Scenario {
    const char* name;
    size_t match_a, match_b;           // the two matches; match_a is the answer
    size_t slow_at;                    // the index whose examination is slow
    std::chrono::microseconds slow_for, b_delay;  // and how slow; b's examination too
  };
  using us = std::chrono::microseconds;
  const Scenario scenarios[] = {
      // The lower match is recorded first; a higher one found later must not replace it.
      {"higher match recorded last", 9, 10, 9, us(3000), us(8000)},
      // A higher match is known while the lower chunk is still short of its own match: the lower
      // chunk must still examine everything below the known match.
      {"lower chunk still examining", 9, 10, 8, us(3000), us(0)},
  };
  for (const Scenario& s : scenarios) {
    for (int rep = 0; rep < 3; ++rep) {
      const size_t got = pool::find_first(
          640,
          [&](size_t i) {
            if (i == s.slow_at) spin_for(s.slow_for);
            if (i == s.match_b) spin_for(s.b_delay);
            return i == s.match_a || i == s.match_b || i > s.match_b;
          },
          {.ns_per_item = 10.0, .force_pool = true});
      if (got != s.match_a) {
        std::printf("%s: got %zu want %zu\n", s.name, got, s.match_a);
        return false;
      }
    }
  }
  return true;
}

// Runs forced pool calls until a helper thread has run chunks (or `attempts` run out); each
// result is checked as well.
bool helpers_take_work(int attempts) {
  const uint64_t before = pool::helper_chunks_run();
  std::mt19937_64 rng(7);
  for (int a = 0; a < attempts; ++a) {
    std::vector<int> data(200'000, 1);
    const size_t at = std::uniform_int_distribution<size_t>(0, data.size())(rng);
    if (at < data.size()) data[at] = 0;
    const size_t got = pool::find_first(data.size(), [&](size_t i) { return data[i] == 0; },
                                        {.ns_per_item = 10.0, .force_pool = true});
    if (got != at) return false;
    if (pool::helper_chunks_run() > before) return true;
  }
  return false;
}

// The large-input path without forcing: chunk counts come from the cost estimate.
bool large_unforced() {
  const size_t n = 2'000'000;
  std::vector<uint32_t> data(n);
  std::mt19937 rng(3);
  for (auto& v : data) v = rng();
  const size_t at = n - 5;
  data[at] = 0xFFFFFFFFu;
  if (std::find(data.begin(), data.end(), 0xFFFFFFFFu) - data.begin() != static_cast<long>(at))
    return true;  // an earlier duplicate: nothing to test with this seed
  if (pool::find_first(n, [&](size_t i) { return data[i] == 0xFFFFFFFFu; }) != at) return false;
  auto kept = pool::filter(n, [&](size_t i) { return data[i] % 1000 == 0; });
  std::vector<size_t> want;
  for (size_t i = 0; i < n; ++i)
    if (data[i] % 1000 == 0) want.push_back(i);
  if (kept != want) return false;
  std::vector<uint32_t> sorted = data, sorted_want = data;
  pool::sort(sorted.data(), sorted.data() + n, std::less<>());
  std::stable_sort(sorted_want.begin(), sorted_want.end());
  return sorted == sorted_want;
}

// A pool call from inside a chunk: runs inline on a helper, hands off again on the caller.
bool nested() {
  const size_t outer = 64, inner = 5000;
  const auto hits = pool::filter(
      outer,
      [&](size_t i) {
        return pool::find_first(inner, [&](size_t j) { return j == i * 50; },
                                {.ns_per_item = 10.0, .force_pool = true}) == i * 50;
      },
      {.ns_per_item = 10.0, .force_pool = true});
  return hits.size() == outer;
}

// Waits for `pid` for at most `seconds`; a child that does not end by then is killed and fails.
bool child_succeeded(pid_t pid, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (r < 0) return false;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      std::printf("child %d hung\n", static_cast<int>(pid));
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Forks `forks` times while `busy` threads keep calling the pool; every child must get its own
// helpers to take work and must compute right answers; the parent must keep working.
bool fork_while_busy(int forks, int busy) {
  if (!helpers_take_work(1000)) return false;
  std::atomic<bool> stop{false}, ok{true};
  std::vector<std::thread> callers;
  for (int t = 0; t < busy; ++t) {
    callers.emplace_back([&, t] {
      std::mt19937_64 rng(100 + static_cast<uint64_t>(t));
      while (!stop.load())
        if (!one_round(rng, true)) ok = false;
    });
  }
  bool all_children = true;
  for (int f = 0; f < forks; ++f) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
      std::mt19937_64 rng(999);
      bool child_ok = helpers_take_work(1000);
      for (int r = 0; r < 5 && child_ok; ++r) child_ok = one_round(rng, true);
      _exit(child_ok ? 0 : 1);
    }
    all_children = child_succeeded(pid, 120) && all_children;
  }
  stop = true;
  for (auto& c : callers) c.join();
  return all_children && ok && helpers_take_work(1000);
}

}  // namespace

// Usage: pool_stress [threads|fork|all] [rounds per caller thread]. ThreadSanitizer cannot run
// "fork": a thread started in the child may reuse the stack, and so the id, of a parent's helper
// that it still counts as alive, and it aborts.
int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "all";
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 40;
  std::printf("helper threads: %zu\n", pool::helper_count());
  if (mode == "threads" || mode == "all") {
    check(many_callers(8, rounds, 1), "8 caller threads, random find_first/filter/filter_map/sort");
    check(pool::helper_chunks_run() > 0, "helper threads ran chunks");
    check(large_unforced(), "large inputs without forcing match the sequential answers");
    check(nested(), "pool calls from inside a chunk complete");
    check(timed_first_match(), "the lowest match wins whichever thread finds its match first");
  }
  if (mode == "fork" || mode == "all")
    check(fork_while_busy(3, 3), "fork while others use the pool; child and parent hand off after");
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed || passed == 0 ? 1 : 0;
}
