#pragma once

#include <chrono>
#include <atomic>
#include <cstdio>
namespace brvtrace { 
inline std::atomic<long long> acc[8]; inline std::atomic<long long> t0s[8]; inline std::atomic<long long> n{0};
inline long long now() { return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count(); }
inline thread_local long long last = 0;
}
