// A C++ actor streaming to a ravo server: include/ravo/producer.h in use.
//
// The actor steps a vectorised environment of `--envs` copies and sends each
// step's samples with one `send_stacked` call, leaf by leaf as a vectorised
// environment returns them: observations (84x84x4 uint8), rewards (float32)
// and ids (int64: the actor's id in the high bits, a per-actor sequence
// number in the low 40, so that a consumer can check order and loss). It is
// the producer of `examples/demo.py --cpp-actor`, and any server whose layout
// has those three leaves accepts it.
//
// Build (the header needs only C++20 and POSIX sockets):
//   g++ -std=c++20 -O2 -I include examples/cpp_actor.cpp -o cpp_actor
// or configure CMake with -DRAVO_BUILD_EXAMPLES=ON.
//
// Run:
//   cpp_actor --port N [--host 127.0.0.1] [--id 0] [--seconds 10 | --steps S]
//             [--envs 8] [--window 64]          (--help prints this)
// Prints "actor <id>: <n> samples acknowledged" and exits 0 once every sample
// is acknowledged; any failure is one line on stderr and exit status 1.
#include <ravo/producer.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kObsBytes = 84 * 84 * 4;
constexpr std::uint64_t kIdBits = 40;

struct Args {
    std::string host = "127.0.0.1";
    long port = -1;
    long id = 0;
    double seconds = 10.0;
    long steps = -1;  // > 0: a fixed number of steps instead of a duration
    long envs = 8;
    long window = 64;
};

[[noreturn]] void fail(const std::string& text) {
    std::fprintf(stderr, "cpp_actor: %s\n", text.c_str());
    std::exit(1);
}

long parse_long(const char* flag, const char* text, long lo, long hi) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) {
        fail(std::string(flag) + " must be an integer from " + std::to_string(lo) + " to " + std::to_string(hi) +
             ", got '" + text + "'");
    }
    return v;
}

constexpr const char* kUsage =
    "usage: cpp_actor --port N [--host 127.0.0.1] [--id 0] [--seconds 10 | --steps S]\n"
    "                 [--envs 8] [--window 64]\n"
    "Streams a vectorised environment's steps (84x84x4 uint8 observations, float32\n"
    "rewards, int64 ids) to a ravo server; exits 0 once every sample is acknowledged.\n";

Args parse(int argc, char** argv) {
    Args a;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--help" || flag == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (i + 1 >= argc) fail("missing value after " + flag);
        const char* v = argv[++i];
        if (flag == "--host") {
            a.host = v;
        } else if (flag == "--port") {
            a.port = parse_long("--port", v, 1, 65535);
        } else if (flag == "--id") {
            a.id = parse_long("--id", v, 0, (1L << 23) - 1);
        } else if (flag == "--seconds") {
            char* end = nullptr;
            a.seconds = std::strtod(v, &end);
            if (end == v || *end != '\0' || !(a.seconds > 0)) fail(std::string("--seconds must be > 0, got '") + v + "'");
        } else if (flag == "--steps") {
            a.steps = parse_long("--steps", v, 1, 1L << 40);
        } else if (flag == "--envs") {
            a.envs = parse_long("--envs", v, 1, 1 << 16);
        } else if (flag == "--window") {
            a.window = parse_long("--window", v, 1, 1 << 20);
        } else {
            fail("unknown option " + flag);
        }
    }
    if (a.port < 0) fail("--port is required");
    return a;
}

std::string layout_text(const std::vector<ravo::producer::Leaf>& layout) {
    std::string out;
    for (const auto& leaf : layout) {
        if (!out.empty()) out += ", ";
        out += "[";
        for (std::size_t d = 0; d < leaf.shape.size(); ++d) {
            if (d) out += ',';
            out += std::to_string(leaf.shape[d]);
        }
        out += "] x " + std::to_string(leaf.dtype_size) + " B";
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const Args args = parse(argc, argv);
    ravo::producer::Options options;
    options.window = static_cast<std::uint32_t>(args.window);
    options.timeout_ms = 60'000;  // a server that stops consuming for a minute ends the actor
    auto connected = ravo::producer::Producer::connect(args.host, static_cast<std::uint16_t>(args.port), options);
    if (!connected) fail(connected.error().message);
    ravo::producer::Producer producer = std::move(connected).value();

    // The layout is the server's: check that this actor's leaves fit it
    // before sending anything.
    const auto& layout = producer.layout();
    if (layout.size() != 3 || layout[0].nbytes != kObsBytes || layout[0].dtype_size != 1 ||
        layout[1].nbytes != 4 || layout[2].nbytes != 8) {
        fail("the server's layout is " + layout_text(layout) +
             "; this actor sends [84,84,4] x 1 B, [] x 4 B, [] x 8 B");
    }

    // One step of the vectorised environment: each leaf's rows back to back,
    // reused from step to step.
    const auto envs = static_cast<std::size_t>(args.envs);
    std::vector<std::uint8_t> obs(envs * kObsBytes);
    std::vector<float> rewards(envs);
    std::vector<std::int64_t> ids(envs);
    std::mt19937 rng(static_cast<unsigned>(args.id));
    for (auto& b : obs) b = static_cast<std::uint8_t>(rng());
    const std::span<const std::byte> leaves[] = {
        std::as_bytes(std::span(obs)), std::as_bytes(std::span(rewards)), std::as_bytes(std::span(ids))};

    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(args.seconds);
    std::uint64_t seq = 0;
    for (long step = 0; args.steps > 0 ? step < args.steps : std::chrono::steady_clock::now() < end; ++step) {
        for (std::size_t e = 0; e < envs; ++e) {
            obs[e * kObsBytes] = static_cast<std::uint8_t>(step);
            rewards[e] = static_cast<float>(seq % 7);
            ids[e] = static_cast<std::int64_t>((static_cast<std::uint64_t>(args.id) << kIdBits) | seq++);
        }
        if (auto st = producer.send_stacked(leaves, envs); !st) fail(st.error().message);
    }
    if (auto st = producer.close(); !st) fail(st.error().message);  // flushes: waits for every ack
    std::printf("actor %ld: %llu samples acknowledged\n", args.id, static_cast<unsigned long long>(producer.acked()));
    return 0;
}
