// bench_cli: the command-line pieces the benchmark tools share: the fatal
// usage error ("<tool>: <text>" on stderr, exit status 2), whole-number,
// port and --seconds parsing, and the cursor that walks flags and their
// values.
//
// Each tool calls set_program() first thing in main, before any other thread
// starts; the name is only read after that, so it needs no synchronisation.
// The error texts are what the tools have always printed; the tools differ
// only in their name and in which values they accept.

#pragma once

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace ravo::bench {

// The tool's name in front of every error line; a string literal.
inline const char* g_program = "bench";

inline void set_program(const char* name) { g_program = name; }

[[noreturn]] inline void die(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", g_program, text.c_str());
    std::exit(2);
}

// Decimal digits only (no sign, no blanks), and the value must fit in 64
// bits: strtoull alone would accept " 5" and "-1" and saturate on overflow.
inline std::uint64_t parse_u64(const std::string& s, const char* what) {
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos) {
        die(std::string("bad ") + what + ": '" + s + "'");
    }
    errno = 0;
    const unsigned long long v = std::strtoull(s.c_str(), nullptr, 10);
    if (errno != 0) die(std::string("bad ") + what + ": '" + s + "'");
    return v;
}

// A TCP port; 0 ("pick a free one") only where the tool listens.
inline std::uint16_t parse_port(const std::string& s, bool allow_zero) {
    const std::uint64_t p = parse_u64(s, "port");
    if ((p == 0 && !allow_zero) || p > 65535) die("port out of range");
    return static_cast<std::uint16_t>(p);
}

// A run time in seconds: a finite number above 0. Infinity (or a value that
// overflows to it) is refused, as converting it to a clock duration is
// undefined.
inline double parse_seconds(const std::string& v) {
    char* end = nullptr;
    const double d = std::strtod(v.c_str(), &end);
    if (end == v.c_str() || *end != '\0' || !(d > 0) || !std::isfinite(d)) die("bad --seconds " + v);
    return d;
}

// Walks argv as flags, each optionally followed by its value:
//   for (ArgCursor args(argc, argv); args.step();) {
//       if (args.flag() == "--host") host = args.next(); ...
//   }
class ArgCursor {
public:
    ArgCursor(int argc, char** argv) : argc_(argc), argv_(argv) {}

    // Moves to the next flag; false once argv is used up.
    bool step() {
        if (i_ + 1 >= argc_) return false;
        flag_ = argv_[++i_];
        return true;
    }

    // The flag step() moved to; stays put while next() takes its values.
    const std::string& flag() const { return flag_; }

    // The value after the current flag, consumed.
    std::string next() {
        if (i_ + 1 >= argc_) die("missing value after " + flag_);
        return argv_[++i_];
    }

private:
    int argc_;
    char** argv_;
    int i_ = 0;  // index of the current flag; argv[0] is the program
    std::string flag_;
};

}  // namespace ravo::bench
