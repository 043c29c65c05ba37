// Fuzz target: the text handling of the CUDA runtime search, which reads
// /proc/self/maps (file names that any local user can choose) and directory
// entries. For any bytes:
// - scan_maps() and maps_line_path() agree with the independent line parser
//   below (a text that is not UTF-8 as a whole scans as empty; line feeds
//   split, a carriage return before one dropped, " (deleted)" removed, the path from the first
//   " /" on, the library name test on the file name, first appearance kept);
// - is_runtime_name() and soname_major() agree with independent versions
//   (the major is "+"? digits up to the next ".", at most 2^32 - 1);
// - utf8_lossy() always yields valid UTF-8 and leaves valid input unchanged;
//   is_valid_utf8() agrees with an independent decoder;
// - compare_paths() is reflexive and antisymmetric.
// Single-threaded; a failed check aborts (libFuzzer reports it as a crash).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host_pinning/resolve.h"

namespace {

namespace hp = ravo::host_pinning;

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_maps: check failed: %s\n", what);
        std::abort();
    }
}

// UTF-8 as Unicode defines it: shortest forms only, no surrogates, nothing
// above U+10FFFF. Decodes code points rather than following byte tables.
bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t n;
        std::uint32_t cp;
        if (b < 0x80) {
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            n = 1, cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            n = 2, cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            n = 3, cp = b & 0x07;
        } else {
            return false;
        }
        if (s.size() - i <= n) return false;
        for (std::size_t k = 1; k <= n; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = cp << 6 | (c & 0x3F);
        }
        const std::uint32_t min = n == 1 ? 0x80 : n == 2 ? 0x800 : 0x10000;
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n + 1;
    }
    return true;
}

bool runtime_name(std::string_view name) {
    const std::string_view base = "libcudart.so";
    return name == base || (name.size() > base.size() && name.substr(0, base.size()) == base && name[base.size()] == '.');
}

std::optional<std::uint32_t> major_of(std::string_view name) {
    const std::string_view prefix = "libcudart.so.";
    if (name.size() < prefix.size() || name.substr(0, prefix.size()) != prefix) return std::nullopt;
    std::string_view text = name.substr(prefix.size());
    if (const auto dot = text.find('.'); dot != std::string_view::npos) text = text.substr(0, dot);
    if (!text.empty() && text[0] == '+') text = text.substr(1);
    if (text.empty()) return std::nullopt;  // leading zeros are fine: "0012" is 12
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
        if (v > 0xFFFFFFFFull) return std::nullopt;
    }
    return static_cast<std::uint32_t>(v);
}

std::optional<std::string> line_path(std::string_view line) {
    const std::string_view deleted = " (deleted)";
    if (line.size() >= deleted.size() && line.substr(line.size() - deleted.size()) == deleted) {
        line = line.substr(0, line.size() - deleted.size());
    }
    std::size_t at = std::string_view::npos;
    for (std::size_t i = 0; i + 1 < line.size(); ++i) {
        if (line[i] == ' ' && line[i + 1] == '/') {
            at = i;
            break;
        }
    }
    if (at == std::string_view::npos) return std::nullopt;
    const std::string_view path = line.substr(at + 1);
    std::string_view name = path;
    for (std::size_t i = path.size(); i-- > 0;) {
        if (path[i] == '/') {
            name = path.substr(i + 1);
            break;
        }
    }
    if (!runtime_name(name)) return std::nullopt;
    return std::string(path);
}

std::vector<std::string> scan(std::string_view text) {
    std::vector<std::string> out;
    if (!valid_utf8(text)) return out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        const bool has_lf = end != std::string_view::npos;
        if (!has_lf) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = has_lf ? end + 1 : text.size();
        if (has_lf && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        auto path = line_path(line);
        if (!path) continue;
        bool seen = false;
        for (const auto& p : out) seen = seen || p == *path;
        if (!seen) out.push_back(std::move(*path));
    }
    return out;
}

int sign(int v) { return (v > 0) - (v < 0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // The maps scan, whole and line by line.
    require(hp::scan_maps(text) == scan(text), "scan_maps() agrees with the independent parser");
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(start, end - start);
        const auto got = hp::maps_line_path(line);
        const auto want = line_path(line);
        require(got.has_value() == want.has_value() && (!got || std::string(*got) == *want),
                "maps_line_path() agrees with the independent parser");
        start = end + 1;
    }

    // Library names, as given and behind the versioned prefix.
    for (const std::string& name : {std::string(text), "libcudart.so." + std::string(text)}) {
        require(hp::is_runtime_name(name) == runtime_name(name), "is_runtime_name()");
        require(hp::soname_major(name) == major_of(name), "soname_major()");
    }

    // UTF-8 handling used for every path and loader text.
    require(hp::is_valid_utf8(text) == valid_utf8(text), "is_valid_utf8()");
    const std::string lossy = hp::utf8_lossy(text);
    require(valid_utf8(lossy), "utf8_lossy() yields valid UTF-8");
    if (valid_utf8(text)) require(lossy == text, "utf8_lossy() keeps valid text");

    // Path ordering used to sort the wheel search's results.
    const std::string_view a = text.substr(0, size / 2), b = text.substr(size / 2);
    require(hp::compare_paths(a, a) == 0, "compare_paths() is reflexive");
    require(sign(hp::compare_paths(a, b)) == -sign(hp::compare_paths(b, a)), "compare_paths() is antisymmetric");
    return 0;
}
