// How long a read at a random place takes on this machine, in regions of the sizes the
// exploration's state set has: each read waiting for the one before (the latency a look-up pays
// when nothing else is under way), and reads that do not wait for each other (how many the
// machine keeps under way). The region is advised into huge pages on Linux, as the state set is.
// Usage: random_reads [MiB...]   (default: 8 64 512)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

constexpr std::size_t line = 64;
constexpr std::size_t huge_page = std::size_t{2} << 20;

double nanoseconds_per(std::chrono::steady_clock::duration d, std::size_t reads) {
    return std::chrono::duration<double, std::nano>(d).count() / static_cast<double>(reads);
}

void measure(std::size_t mebibytes) {
    const std::size_t bytes = (mebibytes << 20) / huge_page * huge_page;
    auto* region = static_cast<char*>(std::aligned_alloc(huge_page, bytes));
    if (region == nullptr) {
        std::printf("%zu MiB: no memory\n", mebibytes);
        return;
    }
#if defined(__linux__)
    madvise(region, bytes, MADV_HUGEPAGE);
#endif
    // Every line of the region once, in a random order, each holding the place of the next.
    const std::size_t lines = bytes / line;
    std::vector<std::size_t> order(lines);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::mt19937_64 random(12345);
    std::shuffle(order.begin(), order.end(), random);
    for (std::size_t i = 0; i < lines; ++i) {
        char* at = region + order[i] * line;
        char* next = region + order[(i + 1) % lines] * line;
        std::memcpy(at, &next, sizeof next);
    }
    constexpr std::size_t reads = 4'000'000;
    char* at = region + order[0] * line;
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < reads; ++i) {
        char* next = nullptr;
        std::memcpy(&next, at, sizeof next);
        at = next;
    }
    const auto chained = std::chrono::steady_clock::now() - start;
    std::uintptr_t sum = reinterpret_cast<std::uintptr_t>(at);
    const auto start_apart = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < reads; ++i) {
        sum += static_cast<unsigned char>(region[order[i % lines] * line + 8]);
    }
    const auto apart = std::chrono::steady_clock::now() - start_apart;
    std::printf("%4zu MiB: %6.1f ns a read after the one before, %5.1f ns a read apart (%zu)\n",
                mebibytes, nanoseconds_per(chained, reads), nanoseconds_per(apart, reads),
                static_cast<std::size_t>(sum & 1));
    std::free(region);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::size_t> sizes = {8, 64, 512};
    if (argc > 1) {
        sizes.clear();
        for (int i = 1; i < argc; ++i) {
            sizes.push_back(std::stoul(argv[i]));
        }
    }
    for (std::size_t mebibytes : sizes) {
        measure(mebibytes);
    }
    return 0;
}
