// Runs fn(i) for i in [0, n) on a few threads, handing out indices one by one.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace quorlin {

// If calls fail, the exception of the lowest failing index is rethrown after
// all threads have finished, so the error reported does not depend on timing.
template <typename Fn>
void parallel_for(size_t n, size_t num_threads, Fn fn) {
    std::vector<std::exception_ptr> errors(n);
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i = next++; i < n; i = next++) {
            try {
                fn(i);
            } catch (...) {
                errors[i] = std::current_exception();
            }
        }
    };
    const size_t extra = std::min(num_threads, n) > 1 ? std::min(num_threads, n) - 1 : 0;
    std::vector<std::thread> threads;
    threads.reserve(extra);
    for (size_t t = 0; t < extra; ++t) threads.emplace_back(work);
    work();
    for (auto &t : threads) t.join();
    for (auto &e : errors)
        if (e) std::rethrow_exception(e);
}

}  // namespace quorlin
