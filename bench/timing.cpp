// The timing test, measured on the processor itself in the manner of dudect: does a
// backend's call take longer, on average, for some secret inputs than for others?
//
// For every AES backend this processor runs (the 512-bit VAES kernels included, which
// valgrind cannot decode for make check-ct) and each of its operations (the two key
// expansions, IGE both ways, CTR), calls are timed with the cycle counter
// (cycle_counter.hpp) on two classes of secret inputs interleaved at random: class 0
// one fixed key, data and IGE vector, drawn once per run; class 1 fresh random ones
// for every call. Welch's t between the classes' timings, uncropped and cropped at
// several percentiles (welch.hpp), is reported at its largest |t|. A constant-time
// call gives no class a different mean, and |t| stays small however many timings
// there are; a leak grows |t| with the square root of their number.
//
// What must not tell the classes apart is the harness itself. Every call reads its
// own copy of its inputs (and of its schedule, expanded from its own key), prepared
// for a batch of calls before any of them is timed, so that a fixed input is no warmer
// in the cache than a random one; the loop that times a batch has no branch on the
// class; the counter (public: MTProto sends it in the clear) and the lengths are the
// same for both classes.
//
// The positive control (planted_leak.hpp) must be detected in the same run, or the
// run proves nothing and says so. Nettle's table AES is timed too, for information:
// run with NETTLE_FAT_OVERRIDE=none (as make bench-timing does), Nettle encrypts
// with its tables, whose leaks through the cache need not show in timings on a core
// that holds the tables in its L1 cache.
//
//   timing [--null] [MEASUREMENTS [SEED [NAME...]]]
//                     timings per backend and operation (default 1000000, after 10000
//                     for calibration), of the control and then of every backend this
//                     processor runs, or only of those NAMEd; one line each, then a
//                     verdict. Exits 0 when the control was detected and no backend's
//                     |t| reached the threshold, 1 when one did, 2 when the control was
//                     missed. --null draws class 0 at random too: the harness's own
//                     false alarms, where every path, the control's too, must stay
//                     below the threshold
#include "aes/backend.hpp"
#include "cycle_counter.hpp"
#include "lib/secret.hpp"
#include "planted_leak.hpp"
#include "welch.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

using rdz::AesBackend;
using rdz::AesSchedule;

// |t| at or above which a backend leaks: dudect's level for "definitely not
// constant-time". Where a call takes the same time whatever the secret, the random
// order of the classes makes each test's t close to a standard normal variable, however
// noisy or drifting the machine (noise widens both classes alike, and t's denominator
// counts it): 10 is then out of reach (about 1 in 10^20 per run of the 10 tests on ~40
// operations), where 4.5, the level of TVLA in power analysis, would be passed by chance
// about once in 400 runs, more often for any bias of the harness this design missed. A
// leak grows |t| with the square root of the number of timings: at a million per
// operation, the control's shifts of 10 to 100 cycles in the mean reach |t| of 60 to
// 450, so |t| 10 is a shift of a few cycles at most.
constexpr double threshold = 10.0;

// Class 0 random too (--null).
bool null_run = false;

constexpr std::size_t batch_size = 1000;  // calls prepared, then timed, at a time
constexpr std::size_t calibration_size = 10000;
constexpr std::size_t default_measurements = 1000000;
// Enough blocks to run each backend's widest loop (512-bit VAES CTR: 32 blocks per
// group) and a tail; IGE is one chain whatever its length.
constexpr std::size_t ctr_blocks = 37;
constexpr std::size_t ige_blocks = 8;

enum class Operation { expand_encrypt, expand_decrypt, ige_encrypt, ige_decrypt, ctr };
constexpr Operation operations[] = {Operation::expand_encrypt, Operation::expand_decrypt, Operation::ige_encrypt,
                                    Operation::ige_decrypt, Operation::ctr};

const char* name_of(Operation operation) {
  switch (operation) {
    case Operation::expand_encrypt:
      return "expand_encrypt";
    case Operation::expand_decrypt:
      return "expand_decrypt";
    case Operation::ige_encrypt:
      return "ige_encrypt";
    case Operation::ige_decrypt:
      return "ige_decrypt";
    case Operation::ctr:
      return "ctr";
  }
  return "?";
}

std::uint64_t rng_state;

std::uint64_t next() {  // splitmix64
  std::uint64_t z = (rng_state += 0x9e3779b97f4a7c15);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
  z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
  return z ^ (z >> 31);
}

// The secret inputs of one call.
struct Inputs {
  std::uint8_t key[32];
  std::uint8_t iv[32];
  std::uint8_t data[16 * ctr_blocks];

  void randomise() {
    fill(key, sizeof key);
    fill(iv, sizeof iv);
    fill(data, sizeof data);
  }

 private:
  static void fill(std::uint8_t* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; i += 8) {
      const std::uint64_t word = next();
      std::memcpy(bytes + i, &word, std::min<std::size_t>(8, size - i));
    }
  }
};

// One call's copy of its inputs and of the schedule expanded from its key.
struct Slot {
  AesSchedule schedule;
  Inputs inputs;
};

// The public part of a CTR call: the same counter for both classes.
constexpr std::uint64_t counter_high = 0x0123456789abcdef, counter_low = 0x0fedcba987654321;

class Bench {
 public:
  Bench(const AesBackend& backend, Operation operation, const Inputs& fixed)
      : backend_(backend), operation_(operation), fixed_(fixed), slots_(batch_size), classes_(batch_size),
        cycles_(batch_size) {}
  ~Bench() {
    rdz::secure_wipe(slots_.data(), slots_.size() * sizeof(Slot));
    rdz::secure_wipe(&out_, sizeof out_);
  }
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  // Timings of `count` calls, both classes pooled, not kept apart: for the crop levels.
  std::vector<std::uint64_t> calibrate(std::size_t count) {
    std::vector<std::uint64_t> pooled;
    while (pooled.size() < count) {
      run_batch();
      pooled.insert(pooled.end(), cycles_.begin(), cycles_.end());
    }
    return pooled;
  }

  void measure(std::size_t count, timing::CroppedTests& tests) {
    for (std::size_t done = 0; done < count; done += batch_size) {
      run_batch();
      for (std::size_t i = 0; i < batch_size; ++i) tests.add(classes_[i], cycles_[i]);
    }
  }

 private:
  void run_batch() {
    prepare_batch();
    for (std::size_t i = 0; i < batch_size; ++i) {
      const std::uint64_t start = timing::counter_start();
      call(slots_[i]);
      cycles_[i] = timing::counter_end() - start;
    }
  }

  // Draws each call's class and lays out its inputs, and its schedule where the
  // operation takes one, before any call of the batch is timed. Both classes are
  // drawn and copied in by the same instructions, so that they differ in their values
  // alone.
  void prepare_batch() {
    for (std::size_t i = 0; i < batch_size; ++i) {
      classes_[i] = static_cast<std::uint8_t>(next() & 1);
      Slot& slot = slots_[i];
      fresh_.randomise();
      slot.inputs = classes_[i] == 0 && !null_run ? fixed_ : fresh_;
      if (operation_ == Operation::ige_decrypt) {
        backend_.expand_decrypt(slot.inputs.key, slot.schedule);
      } else if (operation_ == Operation::ige_encrypt || operation_ == Operation::ctr) {
        backend_.expand_encrypt(slot.inputs.key, slot.schedule);
      }
    }
  }

  // Every call writes to the same place. Outputs in each call's slot, beside its
  // inputs, made |t| of vperm's CTR reach 5 to 32 in some null runs (--null), where it
  // stays below 4 with one output buffer.
  void call(const Slot& slot) {
    const Inputs& in = slot.inputs;
    switch (operation_) {
      case Operation::expand_encrypt:
        return backend_.expand_encrypt(in.key, out_.schedule);
      case Operation::expand_decrypt:
        return backend_.expand_decrypt(in.key, out_.schedule);
      case Operation::ige_encrypt:
        return backend_.ige_encrypt(slot.schedule, in.data, out_.bytes, ige_blocks, in.iv);
      case Operation::ige_decrypt:
        return backend_.ige_decrypt(slot.schedule, in.data, out_.bytes, ige_blocks, in.iv);
      case Operation::ctr: {
        std::uint64_t high = counter_high, low = counter_low;
        return backend_.ctr_xor(slot.schedule, high, low, in.data, out_.bytes, ctr_blocks);
      }
    }
  }

  const AesBackend& backend_;
  const Operation operation_;
  const Inputs& fixed_;
  std::vector<Slot> slots_;
  std::vector<std::uint8_t> classes_;
  std::vector<std::uint64_t> cycles_;
  Inputs fresh_;
  struct {
    AesSchedule schedule;
    std::uint8_t bytes[16 * ctr_blocks];
  } out_;
};

// What a path is in this run: judged against the threshold, the control that must
// pass it, or timed for information only.
enum class Role { judged, control, information };

struct Result {
  double t;
  std::size_t test;  // which of the tests gave it
  double fixed_mean, random_mean;
};

Result measure(const AesBackend& backend, Operation operation, const Inputs& fixed, std::size_t measurements) {
  Bench bench(backend, operation, fixed);
  timing::CroppedTests tests(bench.calibrate(calibration_size));
  bench.measure(measurements, tests);
  const std::size_t test = tests.strongest();
  return {tests.t(test), test, tests.moments(test, 0).mean(), tests.moments(test, 1).mean()};
}

std::string crop_label(std::size_t test) {
  if (test == 0) return "all";
  char label[16];
  std::snprintf(label, sizeof label, "p%g", 100 * timing::crop_levels[test - 1]);
  return label;
}

const char* verdict(Role role, double t) {
  const bool above = std::fabs(t) >= threshold;
  switch (role) {
    case Role::judged:
      return above ? "LEAK" : "ok";
    case Role::control:
      return above ? "detected" : "MISSED";
    case Role::information:
      return above ? "above" : "below";
  }
  return "?";
}

struct Tally {
  int leaks = 0;
  int controls_missed = 0;
};

void test_path(const AesBackend& backend, const char* label, Role role, const Inputs& fixed, std::size_t measurements,
               Tally& tally) {
  for (Operation operation : operations) {
    const Result r = measure(backend, operation, fixed, measurements);
    const char* said = verdict(role, r.t);
    std::printf("%-10s %-15s %12zu %8.2f %5s %12.1f %12.1f  %s\n", label, name_of(operation), measurements,
                std::fabs(r.t), crop_label(r.test).c_str(), r.fixed_mean, r.random_mean, said);
    std::fflush(stdout);
    if (role == Role::judged && std::fabs(r.t) >= threshold) ++tally.leaks;
    if (role == Role::control && std::fabs(r.t) < threshold) ++tally.controls_missed;
  }
}

// The backend the control plants its branch in: vector permute where it runs, whose
// calls take thousands of cycles, so that the planted work is a small part of them.
const AesBackend* control_base() {
  const AesBackend* base = nullptr;
  for (const rdz::AesCandidate& c : rdz::aes_candidates()) {
    if (!c.runs || c.backend == &rdz::nettle_backend) continue;
    if (base == nullptr || std::strcmp(c.backend->name, "vperm") == 0) base = c.backend;
  }
  return base;
}

struct Options {
  std::size_t measurements = default_measurements;
  std::uint64_t seed = 0x5eed;
  std::vector<std::string_view> names;  // empty: every backend
  bool named(std::string_view name) const {
    return names.empty() || std::find(names.begin(), names.end(), name) != names.end();
  }
};

Options parse(int argc, char** argv) {
  Options options;
  int at = 1;
  if (at < argc && std::strcmp(argv[at], "--null") == 0) {
    null_run = true;
    ++at;
  }
  if (at < argc) {
    const std::size_t asked = std::strtoull(argv[at++], nullptr, 0);
    options.measurements = std::max(batch_size, asked / batch_size * batch_size);
  }
  if (at < argc) options.seed = std::strtoull(argv[at++], nullptr, 0);
  options.names.assign(argv + at, argv + argc);
  return options;
}

void print_header(const Options& options) {
  std::printf("timing: fixed against random secret inputs (key, data, IGE vector), interleaved at random; %s;\n",
              timing::counter_name);
  std::printf("timing: Welch's t uncropped and cropped at %zu percentiles; threshold |t| %g; seed %#llx\n",
              timing::crop_levels.size(), threshold, static_cast<unsigned long long>(options.seed));
  std::printf("%-10s %-15s %12s %8s %5s %12s %12s  %s\n", "path", "operation", "measurements", "max |t|", "at",
              "fixed, mean", "random, mean", "verdict");
}

int summarise(const Tally& tally, const AesBackend& control_base) {
  if (null_run) std::printf("timing: a null run: both classes random, so the control has nothing to show\n");
  const char* override = std::getenv("NETTLE_FAT_OVERRIDE");
  const bool nettle_tables = override != nullptr && std::strcmp(override, "none") == 0;
  std::printf("timing: the control is %s with a branch on a secret bit; nettle is %s, for information\n",
              control_base.name,
              nettle_tables ? "its table AES (NETTLE_FAT_OVERRIDE=none)"
                            : "Nettle's own choice of code (without NETTLE_FAT_OVERRIDE=none, maybe AES-NI)");
  if (tally.controls_missed > 0) {
    std::printf("timing: the control was missed in %d operations: this run proves nothing\n", tally.controls_missed);
    return 2;
  }
  if (tally.leaks > 0) {
    std::printf("timing: %d operations at or above |t| %g%s\n", tally.leaks, threshold,
                null_run ? "" : "; the control detected");
    return 1;
  }
  std::printf("timing: every backend below |t| %g%s\n", threshold, null_run ? "" : "; the control detected");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  rng_state = options.seed;
  Inputs fixed;
  fixed.randomise();
  print_header(options);

  Tally tally;
  const AesBackend* base = control_base();
  const AesBackend control = timing::with_planted_leak(*base);
  test_path(control, "control", null_run ? Role::judged : Role::control, fixed, options.measurements, tally);
  for (const rdz::AesCandidate& c : rdz::aes_candidates()) {
    if (c.backend == &rdz::nettle_backend || !options.named(c.backend->name)) continue;
    if (c.runs) {
      test_path(*c.backend, c.backend->name, Role::judged, fixed, options.measurements, tally);
    } else {
      std::printf("%-10s not timed: this processor cannot run it\n", c.backend->name);
    }
  }
  if (options.named("nettle")) {
    test_path(rdz::nettle_backend, "nettle", Role::information, fixed, options.measurements, tally);
  }
  rdz::secure_wipe(&fixed, sizeof fixed);
  return summarise(tally, *base);
}
