// Coverage feedback for targets built by g++. libFuzzer dropped its own
// handler for -fsanitize-coverage=trace-pc (the only edge instrumentation
// g++ has), so this file supplies it: every instrumented block reports its
// return address, and each distinct address gets the next free counter in
// libFuzzer's "extra counters" section. The build links a copy of libFuzzer
// whose own __sanitizer_cov_trace_pc is made weak, so this definition wins.
// This file itself is compiled without instrumentation or sanitizers.
//
// The counters are handed out densely because libFuzzer scans and clears
// the whole section after every run: a table indexed by address would have
// to span the program's text and would cost more than the run itself.
#include <cstddef>
#include <cstdint>

namespace {

// Distinct blocks that get a counter of their own; later ones share.
constexpr std::size_t kCounterBits = 16;
constexpr std::size_t kCounters = std::size_t{1} << kCounterBits;
// Open-addressed table from block address to counter, kept at most half full.
constexpr std::size_t kSlotBits = kCounterBits + 1;
constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;

std::uintptr_t g_address[kSlots];
std::uint16_t g_counter_of[kSlots];
std::size_t g_next_counter = 0;

}  // namespace

// libFuzzer finds this section by its __start_/__stop_ symbols.
__attribute__((section("__libfuzzer_extra_counters"), used))
std::uint8_t brovane_fuzz_counters[kCounters];

extern "C" {

__attribute__((no_sanitize("address", "undefined"))) void __sanitizer_cov_trace_pc() {
  const auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  std::size_t slot = static_cast<std::size_t>((pc * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
  while (g_address[slot] != pc) {
    if (g_address[slot] == 0) {
      g_address[slot] = pc;
      g_counter_of[slot] = static_cast<std::uint16_t>(
          g_next_counter < kCounters ? g_next_counter++ : (pc >> 2) & (kCounters - 1));
      break;
    }
    slot = (slot + 1) & (kSlots - 1);
  }
  std::uint8_t& c = brovane_fuzz_counters[g_counter_of[slot]];
  if (c != 0xFF) ++c;
}

// g++'s trace-cmp also reports floating-point comparisons, which libFuzzer
// has no hooks for.
void __sanitizer_cov_trace_cmpf(float, float) {}
void __sanitizer_cov_trace_cmpd(double, double) {}

}  // extern "C"
