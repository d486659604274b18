// A bounded stand-in for libFuzzer, linked with a fuzz target when the build
// has no libFuzzer. It replays the target's corpus (files named on the
// command line, and tests/<area>/corpus/<target>/ when it exists), then runs
// the given number of random and mutated inputs from a fixed seed, within a
// time bound. Every input sits in a heap block of exactly its size, so an
// address-sanitizer build sees the first byte read past it.
//
//   fuzz_<name> [runs [file-or-folder ...]]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

// A libFuzzer build (clang's -fsanitize=fuzzer) brings its own main; this
// file then contributes only the stand-in target below.
#if defined(__has_feature)
#if __has_feature(coverage_sanitizer)
#define LIBFUZZER_PROVIDES_MAIN 1
#endif
#endif

namespace {
bool no_target_linked = false;
}

// Stands in only when no fuzz target is linked (the build globs this file
// as a target of its own): the driver then exercises its input generation
// alone and says so.
extern "C" __attribute__((weak)) int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t)
{
    no_target_linked = true;
    return 0;
}

#ifndef LIBFUZZER_PROVIDES_MAIN

namespace {

using bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

constexpr std::uint64_t DEFAULT_RUNS = 1000;
constexpr std::uint64_t SEED = 0x5EED5EED2024ull;
constexpr std::chrono::seconds TIME_BOUND{120};
constexpr std::size_t INPUT_LIMIT = 4096;

// Bytes that steer framing and UTF-8 decisions more often than chance would.
constexpr std::uint8_t INTERESTING[] = {0x00, 0x01, 0x02, 0x08, 0x0D, 0x0A, 0x20, 0x2C, 0x3A, 0x7D, 0x7E,
                                        0x7F, 0x80, 0x81, 0x82, 0x88, 0x89, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                        0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};

void run_one(const bytes& input)
{
    // A copy in an exact block: the vector's spare capacity would hide an
    // over-read from the sanitizer.
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[input.empty() ? 1 : input.size()]);
    if (!input.empty())
        std::memcpy(exact.get(), input.data(), input.size());
    LLVMFuzzerTestOneInput(exact.get(), input.size());
}

bool read_file(const fs::path& path, bytes& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

void add_path(const fs::path& path, std::vector<bytes>& corpus)
{
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(path, ec))
            if (entry.is_regular_file(ec))
                files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        for (const fs::path& f : files)
            add_path(f, corpus);
        return;
    }
    bytes content;
    if (read_file(path, content))
        corpus.push_back(std::move(content));
}

// tests/<area>/corpus/<target>/ for every area, found from this file's place
// in the source tree.
void add_source_corpus(const std::string& target, std::vector<bytes>& corpus)
{
    const fs::path tests_dir = fs::path(__FILE__).parent_path().parent_path();
    std::error_code ec;
    for (const auto& area : fs::directory_iterator(tests_dir, ec)) {
        const fs::path dir = area.path() / "corpus" / target;
        if (fs::is_directory(dir, ec))
            add_path(dir, corpus);
    }
}

struct mutator {
    std::mt19937_64 rng{SEED};

    std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : rng() % n; }
    std::uint8_t byte() { return static_cast<std::uint8_t>(rng()); }
    std::uint8_t interesting() { return INTERESTING[below(sizeof(INTERESTING))]; }

    // Mostly short inputs, sometimes up to the limit.
    std::size_t length()
    {
        return below(4) == 0 ? static_cast<std::size_t>(below(INPUT_LIMIT + 1)) : static_cast<std::size_t>(below(65));
    }

    bytes random_input()
    {
        bytes b(length());
        const bool biased = below(2) == 0;
        for (auto& c : b)
            c = biased && below(2) == 0 ? interesting() : byte();
        return b;
    }

    void mutate_once(bytes& b, const std::vector<bytes>& pool)
    {
        switch (below(7)) {
        case 0: // flip a bit
            if (!b.empty())
                b[below(b.size())] ^= static_cast<std::uint8_t>(1u << below(8));
            break;
        case 1: // set a byte to a value that matters
            if (!b.empty())
                b[below(b.size())] = interesting();
            break;
        case 2: { // insert a few bytes
            const std::size_t at = static_cast<std::size_t>(below(b.size() + 1));
            const std::size_t n = static_cast<std::size_t>(1 + below(8));
            for (std::size_t i = 0; i < n; ++i)
                b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), below(2) ? interesting() : byte());
            break;
        }
        case 3: // erase a range
            if (!b.empty()) {
                const std::size_t at = static_cast<std::size_t>(below(b.size()));
                const std::size_t n = static_cast<std::size_t>(1 + below(std::min<std::size_t>(16, b.size() - at)));
                b.erase(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + n));
            }
            break;
        case 4: // repeat a chunk
            if (!b.empty()) {
                const std::size_t at = static_cast<std::size_t>(below(b.size()));
                const std::size_t n = static_cast<std::size_t>(1 + below(std::min<std::size_t>(32, b.size() - at)));
                const bytes chunk(b.begin() + static_cast<std::ptrdiff_t>(at),
                                  b.begin() + static_cast<std::ptrdiff_t>(at + n));
                b.insert(b.begin() + static_cast<std::ptrdiff_t>(below(b.size() + 1)), chunk.begin(), chunk.end());
            }
            break;
        case 5: // splice with another input
            if (!pool.empty()) {
                const bytes& other = pool[below(pool.size())];
                const std::size_t keep = static_cast<std::size_t>(below(b.size() + 1));
                const std::size_t from = static_cast<std::size_t>(below(other.size() + 1));
                b.resize(keep);
                b.insert(b.end(), other.begin() + static_cast<std::ptrdiff_t>(from), other.end());
            }
            break;
        default: // truncate
            b.resize(static_cast<std::size_t>(below(b.size() + 1)));
            break;
        }
        if (b.size() > INPUT_LIMIT)
            b.resize(INPUT_LIMIT);
    }

    bytes mutated(const std::vector<bytes>& pool)
    {
        bytes b = pool[below(pool.size())];
        const std::uint64_t rounds = 1 + below(6);
        for (std::uint64_t i = 0; i < rounds; ++i)
            mutate_once(b, pool);
        return b;
    }
};

} // namespace

int main(int argc, char** argv)
{
    const std::uint64_t runs = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : DEFAULT_RUNS;
    const std::string target = argc > 0 ? fs::path(argv[0]).filename().string() : "";

    std::vector<bytes> corpus;
    for (int i = 2; i < argc; ++i)
        add_path(argv[i], corpus);
    add_source_corpus(target, corpus);
    for (const bytes& input : corpus)
        run_one(input);

    // Inputs to mutate: the corpus plus a bounded window of recent inputs.
    std::vector<bytes> pool = corpus;
    const std::size_t corpus_size = pool.size();
    constexpr std::size_t RECENT = 64;
    mutator m;
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t done = 0;
    for (; done < runs; ++done) {
        if ((done & 63) == 0 && std::chrono::steady_clock::now() - start > TIME_BOUND)
            break;
        bytes input = (pool.empty() || m.below(3) == 0) ? m.random_input() : m.mutated(pool);
        run_one(input);
        if (pool.size() < corpus_size + RECENT)
            pool.push_back(std::move(input));
        else
            pool[corpus_size + m.below(RECENT)] = std::move(input);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s: %zu corpus inputs, %llu runs in %.1f s%s\n", target.c_str(), corpus.size(),
                static_cast<unsigned long long>(done), seconds, no_target_linked ? " (no fuzz target linked)" : "");
    return 0;
}

#endif // LIBFUZZER_PROVIDES_MAIN
