// Tests of the CUDA runtime search: the name rules, the maps scan, the wheel
// search over temporary trees, the note texts, the ladder with a scripted
// loader and with the stand-in runtime, and the process-wide cell.
#include "host_pinning/resolve.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "support/pinning_fixtures.h"

namespace {

namespace hp = ravo::host_pinning;
using hp::Candidate;
using hp::Rung;
using hp::testing::fake_cudart_no_error_name_path;
using hp::testing::fake_cudart_path;
using hp::testing::FakeCudart;
using hp::testing::ScriptedLoader;
using hp::testing::scripted_config;
using hp::testing::TempDir;

using Strings = std::vector<std::string>;

// ---------------------------------------------------------------------------
// Name rules.

TEST(HostPinningNames, SonameMajor) {
    EXPECT_EQ(hp::soname_major("libcudart.so.12"), 12u);
    EXPECT_EQ(hp::soname_major("libcudart.so.12.4.127"), 12u);
    EXPECT_EQ(hp::soname_major("libcudart.so.+13"), 13u);
    EXPECT_EQ(hp::soname_major("libcudart.so.0012.1"), 12u);
    EXPECT_EQ(hp::soname_major("libcudart.so.0"), 0u);
    EXPECT_EQ(hp::soname_major("libcudart.so.4294967295"), 4294967295u);
    EXPECT_EQ(hp::soname_major("libcudart.so.4294967296"), std::nullopt);
    EXPECT_EQ(hp::soname_major("libcudart.so.99999999999999999999999"), std::nullopt);
    EXPECT_EQ(hp::soname_major("libcudart.so"), std::nullopt);
    EXPECT_EQ(hp::soname_major("libcudart.so."), std::nullopt);
    EXPECT_EQ(hp::soname_major("libcudart.so..1"), std::nullopt);
    EXPECT_EQ(hp::soname_major("libcudart.so.x"), std::nullopt);
    EXPECT_EQ(hp::soname_major("libcudart.so.12a"), std::nullopt);
    EXPECT_EQ(hp::soname_major("libcudart.so.+"), std::nullopt);
    EXPECT_EQ(hp::soname_major("libcudart.so.-1"), std::nullopt);
    EXPECT_EQ(hp::soname_major("libcudart.so.++1"), std::nullopt);
    EXPECT_EQ(hp::soname_major("libfoo.so.12"), std::nullopt);
}

TEST(HostPinningNames, RuntimeNameTest) {
    EXPECT_TRUE(hp::is_runtime_name("libcudart.so"));
    EXPECT_TRUE(hp::is_runtime_name("libcudart.so.12"));
    EXPECT_TRUE(hp::is_runtime_name("libcudart.so.11.8.89"));
    EXPECT_TRUE(hp::is_runtime_name("libcudart.so."));
    EXPECT_FALSE(hp::is_runtime_name("libcudart_static.a"));
    EXPECT_FALSE(hp::is_runtime_name("libcudartfoo.so"));
    EXPECT_FALSE(hp::is_runtime_name("libcudart.so12"));
    EXPECT_FALSE(hp::is_runtime_name("libcudart.s"));
    EXPECT_FALSE(hp::is_runtime_name("xlibcudart.so"));
    EXPECT_FALSE(hp::is_runtime_name(""));
}

TEST(HostPinningNames, Utf8Lossy) {
    EXPECT_TRUE(hp::is_valid_utf8("plain /path/é/€/𝄞"));
    EXPECT_FALSE(hp::is_valid_utf8("\xff"));
    EXPECT_FALSE(hp::is_valid_utf8("\xc0\xaf"));          // overlong
    EXPECT_FALSE(hp::is_valid_utf8("\xed\xa0\x80"));      // surrogate
    EXPECT_FALSE(hp::is_valid_utf8("\xf4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_FALSE(hp::is_valid_utf8("\xe2\x82"));          // truncated
    EXPECT_EQ(hp::utf8_lossy("a\xff" "b"), "a\xEF\xBF\xBD" "b");
    // A truncated sequence is one replacement; bytes that can never start a
    // sequence are one each.
    EXPECT_EQ(hp::utf8_lossy("\xe2\x82" "x"), "\xEF\xBF\xBD" "x");
    EXPECT_EQ(hp::utf8_lossy("\xed\xa0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(hp::utf8_lossy("€"), "€");
    EXPECT_EQ(hp::utf8_lossy(""), "");
}

TEST(HostPinningNames, ComparePathsByComponents) {
    // Component order differs from byte order where a separator meets a
    // character below '/': "a" < "a-x" as components, "a-x" < "a/" as bytes.
    EXPECT_LT(hp::compare_paths("r/a/lib/libcudart.so.12", "r/a-x/libcudart.so.12"), 0);
    EXPECT_LT(std::string("r/a-x/libcudart.so.12"), std::string("r/a/lib/libcudart.so.12"));
    EXPECT_EQ(hp::compare_paths("/a//b/", "/a/b"), 0);
    EXPECT_EQ(hp::compare_paths("a/./b", "a/b"), 0);
    EXPECT_LT(hp::compare_paths("/z", "a"), 0);  // the root sorts first
    EXPECT_LT(hp::compare_paths("./a", "a"), 0);
    EXPECT_LT(hp::compare_paths("a/../b", "a/b"), 0);  // ".." before names
    EXPECT_LT(hp::compare_paths("/a", "/a/b"), 0);     // a prefix first
    EXPECT_GT(hp::compare_paths("/a/b", "/a"), 0);
    EXPECT_LT(hp::compare_paths("/a/B", "/a/b"), 0);
    EXPECT_LT(hp::compare_paths("/a/b", "/a/\xc3\xa9"), 0);  // names compare as unsigned bytes
}

// ---------------------------------------------------------------------------
// The already-loaded scan.

TEST(HostPinningMaps, LineParsing) {
    EXPECT_EQ(hp::maps_line_path("7f00-7f10 r-xp 00000000 08:01 42   /usr/lib/libcudart.so.12"),
              "/usr/lib/libcudart.so.12");
    EXPECT_EQ(hp::maps_line_path("7f00-7f10 r-xp 00000000 08:01 42   /usr/lib/libcudart.so.12 (deleted)"),
              "/usr/lib/libcudart.so.12");
    // Spaces inside the path belong to it.
    EXPECT_EQ(hp::maps_line_path("7f00-7f10 r--p 00000000 08:01 42 /opt/my cuda/lib/libcudart.so"),
              "/opt/my cuda/lib/libcudart.so");
    EXPECT_EQ(hp::maps_line_path("7f00-7f10 r--p 00000000 08:01 42 /x/libcudart.so.11.8.89"), "/x/libcudart.so.11.8.89");
    EXPECT_EQ(hp::maps_line_path("7f00-7f10 r--p 00000000 08:01 42 /x/libcudart_static.a"), std::nullopt);
    EXPECT_EQ(hp::maps_line_path("7f00-7f10 r--p 00000000 08:01 42 /x/libcudartfoo.so"), std::nullopt);
    EXPECT_EQ(hp::maps_line_path("7f00-7f10 rw-p 00000000 00:00 0    [heap]"), std::nullopt);
    EXPECT_EQ(hp::maps_line_path("7f00-7f10 rw-p 00000000 00:00 0"), std::nullopt);
    EXPECT_EQ(hp::maps_line_path(""), std::nullopt);
    // A directory part that looks like the runtime does not make the file one.
    EXPECT_EQ(hp::maps_line_path("7f00-7f10 r--p 0 08:01 42 /libcudart.so.12/libc.so.6"), std::nullopt);
}

TEST(HostPinningMaps, ScanKeepsFirstAppearanceOnce) {
    const std::string maps =
        "7f00-7f01 r--p 00000000 08:01 1 /opt/b/libcudart.so.13\n"
        "7f01-7f02 r-xp 00001000 08:01 1 /opt/b/libcudart.so.13\n"
        "7f02-7f03 rw-p 00000000 00:00 0 \n"
        "7f03-7f04 r--p 00000000 08:01 2 /usr/lib/libc.so.6\r\n"
        "7f04-7f05 r--p 00000000 08:01 3 /opt/a/libcudart.so.12 (deleted)\r\n"
        "7f05-7f06 r-xp 00001000 08:01 3 /opt/a/libcudart.so.12 (deleted)\n"
        "7f06-7f07 r--p 00002000 08:01 1 /opt/b/libcudart.so.13\n"
        "7f07-7f08 r--p 00000000 08:01 4 /opt/c/libcudart.so";  // no final line feed
    EXPECT_EQ(hp::scan_maps(maps), (Strings{"/opt/b/libcudart.so.13", "/opt/a/libcudart.so.12", "/opt/c/libcudart.so"}));
    EXPECT_TRUE(hp::scan_maps("").empty());
}

TEST(HostPinningMaps, MapsThatAreNotUtf8AreTreatedAsEmpty) {
    const std::string runtime = "7f02-7f03 r-xp 00000000 08:01 3 /opt/cuda/libcudart.so.12\n";
    // One unrelated file name with a Latin-1 byte, before or after the runtime.
    EXPECT_TRUE(hp::scan_maps("7f00-7f01 r--p 00000000 08:01 1 /data/caf\xe9.bin\n" + runtime).empty());
    EXPECT_TRUE(hp::scan_maps(runtime + "7f01-7f02 r--p 00000000 08:01 2 /opt/x\xff\n").empty());
    // A truncated multi-byte sequence at the very end counts too.
    EXPECT_TRUE(hp::scan_maps(runtime + "\xe2\x82").empty());
    // Well-formed multi-byte names are fine.
    EXPECT_EQ(hp::scan_maps("7f00-7f01 r--p 00000000 08:01 1 /data/caf\xc3\xa9.bin\n" + runtime),
              (Strings{"/opt/cuda/libcudart.so.12"}));
}

TEST(HostPinningMaps, ReadsThisProcess) {
    const std::string maps = hp::read_self_maps();
    ASSERT_FALSE(maps.empty());
    EXPECT_NE(maps.find("libc"), std::string::npos);
}

// ---------------------------------------------------------------------------
// The installed-wheel search.

TEST(HostPinningWheel, DepthLimitIsThreeLevels) {
    TempDir t;
    const auto at0 = t.file("libcudart.so.1");
    const auto at3 = t.file("a/b/c/libcudart.so.12");
    t.file("a/b/c/d/libcudart.so.13");
    EXPECT_EQ(hp::search_wheel_roots({t.path()}), (Strings{at3, at0}));
}

TEST(HostPinningWheel, HigherMajorFirstThenComponentOrder) {
    TempDir t;
    const auto a12 = t.file("a/lib/libcudart.so.12");
    const auto b13 = t.file("b/lib/libcudart.so.13");
    const auto ax12 = t.file("a-x/libcudart.so.12.4.127");
    const auto c12 = t.file("c/libcudart.so.12");
    const auto none = t.file("c/libcudart.so");
    const auto zero = t.file("c/libcudart.so.0");
    const auto bad = t.file("c/libcudart.so.x");
    t.file("c/libcudart_static.a");
    t.file("c/libcudartfoo.so");
    // Major 13, then the 12s in component order (a/lib before a-x), then the
    // major-less names, which count as 0, in path order.
    EXPECT_EQ(hp::search_wheel_roots({t.path()}), (Strings{b13, a12, ax12, c12, none, zero, bad}));
}

TEST(HostPinningWheel, SortsAcrossRootsAndSkipsMissingOnes) {
    TempDir t1, t2;
    const auto r1 = t1.file("lib/libcudart.so.12");
    const auto r2 = t2.file("lib/libcudart.so.13");
    const auto file_root = t1.file("plainfile");
    EXPECT_EQ(hp::search_wheel_roots({t1.path() + "/missing", file_root, t1.path(), t2.path()}), (Strings{r2, r1}));
    // A root with a trailing slash gives the same paths.
    EXPECT_EQ(hp::search_wheel_roots({t1.path() + "/"}), (Strings{r1}));
    EXPECT_TRUE(hp::search_wheel_roots({}).empty());
    EXPECT_TRUE(hp::search_wheel_roots({std::string("bad\0root", 8)}).empty());
}

TEST(HostPinningWheel, SymbolicLinksAreNotFollowed) {
    TempDir outside, t;
    outside.file("deep/libcudart.so.13");
    t.link(outside.path() + "/deep", "cuda_runtime");                           // a link to a directory: not entered
    const auto file_link = t.link(outside / "deep/libcudart.so.13", "lib/libcudart.so.12");  // a link to a file
    const auto dangling = t.link(outside / "nowhere", "lib/libcudart.so");      // collected like a file
    t.dir("lib/libcudart.so.99");                                               // a directory is entered, not collected
    const auto inside = t.file("lib/libcudart.so.99/libcudart.so.11");
    EXPECT_EQ(hp::search_wheel_roots({t.path()}), (Strings{file_link, inside, dangling}));
}

TEST(HostPinningWheel, NonUtf8PathsAreDropped) {
    TempDir t;
    t.file("lib/libcudart.so.12\xff");
    t.file("bad\xfe/libcudart.so.12");
    const auto good = t.file("lib/libcudart.so.11");
    EXPECT_EQ(hp::search_wheel_roots({t.path()}), (Strings{good}));
}

TEST(HostPinningWheel, UnreadableDirectoryIsSkipped) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not stop root";
    TempDir t;
    t.file("locked/libcudart.so.13");
    const auto open_one = t.file("open/libcudart.so.12");
    std::filesystem::permissions(t / "locked", std::filesystem::perms::none);
    EXPECT_EQ(hp::search_wheel_roots({t.path()}), (Strings{open_one}));
    std::filesystem::permissions(t / "locked", std::filesystem::perms::owner_all);
}

// ---------------------------------------------------------------------------
// Candidates and notes.

TEST(HostPinningLadder, EmptyRungNotes) {
    EXPECT_EQ(hp::empty_rung_note(Rung::LoadedScan, {"/x"}), "this process has no CUDA runtime mapped");
    EXPECT_EQ(hp::empty_rung_note(Rung::WheelSearch, {}), "no CUDA vendor package is importable");
    EXPECT_EQ(hp::empty_rung_note(Rung::WheelSearch, {"/site/nvidia", "/b\xffz"}),
              "no runtime found beneath /site/nvidia, /b\xEF\xBF\xBDz");
    EXPECT_EQ(hp::empty_rung_note(Rung::SonameLoad, {}), "no soname candidates");
    EXPECT_EQ(hp::rung_name(Rung::LoadedScan), "already-loaded scan");
    EXPECT_EQ(hp::rung_name(Rung::WheelSearch), "installed-wheel search");
    EXPECT_EQ(hp::rung_name(Rung::SonameLoad), "soname load");
    EXPECT_EQ(hp::default_sonames(), (Strings{"libcudart.so.13", "libcudart.so.12", "libcudart.so"}));
}

TEST(HostPinningLadder, CandidatesInLadderOrderEarlierRungKeepsDuplicates) {
    TempDir t;
    const auto w12 = t.file("lib/libcudart.so.12");
    const auto w13 = t.file("lib/libcudart.so.13");
    const std::string maps = "1-2 r--p 0 08:01 1 " + w12 + "\n1-2 r--p 0 08:01 1 /opt/libcudart.so\n";
    const auto list = hp::candidates(maps, {t.path(), t.path()}, {"libcudart.so.13", "/opt/libcudart.so", "libcudart.so.13"});
    EXPECT_EQ(list, (std::vector<Candidate>{{w12, Rung::LoadedScan},
                                            {"/opt/libcudart.so", Rung::LoadedScan},
                                            {w13, Rung::WheelSearch},
                                            {"libcudart.so.13", Rung::SonameLoad}}));
}

TEST(HostPinningLadder, NoRuntimeAnywhereGivesFiveNotes) {
    ScriptedLoader loader;
    const auto result = hp::api_with(*std::make_unique<hp::ApiCell>(),
                                     scripted_config(loader, "", {}, hp::default_sonames()));
    ASSERT_TRUE(std::holds_alternative<Strings>(result));
    EXPECT_EQ(std::get<Strings>(result),
              (Strings{"(none) [already-loaded scan]: this process has no CUDA runtime mapped",
                       "(none) [installed-wheel search]: no CUDA vendor package is importable",
                       "libcudart.so.13 [soname load]: libcudart.so.13: cannot open shared object file: No such file or directory",
                       "libcudart.so.12 [soname load]: libcudart.so.12: cannot open shared object file: No such file or directory",
                       "libcudart.so [soname load]: libcudart.so: cannot open shared object file: No such file or directory"}));
    // Each soname is first probed without loading, then loaded.
    EXPECT_EQ(loader.opens(), (std::vector<ScriptedLoader::Open>{{"libcudart.so.13", 6},
                                                                 {"libcudart.so.13", 2},
                                                                 {"libcudart.so.12", 6},
                                                                 {"libcudart.so.12", 2},
                                                                 {"libcudart.so", 6},
                                                                 {"libcudart.so", 2}}));
}

TEST(HostPinningLadder, EveryRungEmpty) {
    TempDir t;
    ScriptedLoader loader;
    const auto result = hp::api_with(*std::make_unique<hp::ApiCell>(), scripted_config(loader, "", {t.path()}, {}));
    ASSERT_TRUE(std::holds_alternative<Strings>(result));
    EXPECT_EQ(std::get<Strings>(result),
              (Strings{"(none) [already-loaded scan]: this process has no CUDA runtime mapped",
                       "(none) [installed-wheel search]: no runtime found beneath " + t.path(),
                       "(none) [soname load]: no soname candidates"}));
    EXPECT_TRUE(loader.opens().empty());
}

TEST(HostPinningLadder, FailureReasons) {
    ScriptedLoader loader;
    loader.fail("/m/libcudart.so.12", std::nullopt);                         // the loader gives no text
    loader.fail("/m/libcudart.so.13", std::string("bad \xff text"));         // replaced, otherwise unchanged
    loader.library("/m/libcudart.so", {"cudaHostRegister", "cudaFree"});     // first miss is named
    loader.library("/m/libcudart.so.1", {"cudaHostUnregister"});
    loader.library("/m/libcudart.so.2", {"cudaGetErrorName"});
    loader.library("/m/libcudart.so.3", {"cudaFree"});
    const std::vector<Candidate> list = {{"/m/libcudart.so.12", Rung::LoadedScan},
                                         {"/m/libcudart.so.13", Rung::LoadedScan},
                                         {"/m/libcudart.so", Rung::WheelSearch},
                                         {"/m/libcudart.so.1", Rung::WheelSearch},
                                         {"/m/libcudart.so.2", Rung::WheelSearch},
                                         {"/m/libcudart.so.3", Rung::WheelSearch},
                                         {std::string("libcudart.so\0.12", 16), Rung::SonameLoad}};
    const auto result = hp::resolve(list, {"/m"}, loader.loader());
    ASSERT_TRUE(std::holds_alternative<Strings>(result));
    EXPECT_EQ(std::get<Strings>(result),
              (Strings{"/m/libcudart.so.12 [already-loaded scan]: dlopen failed",
                       "/m/libcudart.so.13 [already-loaded scan]: bad \xEF\xBF\xBD text",
                       "/m/libcudart.so [installed-wheel search]: opened, but cudaHostRegister is missing",
                       "/m/libcudart.so.1 [installed-wheel search]: opened, but cudaHostUnregister is missing",
                       "/m/libcudart.so.2 [installed-wheel search]: opened, but cudaGetErrorName is missing",
                       "/m/libcudart.so.3 [installed-wheel search]: opened, but cudaFree is missing",
                       std::string("libcudart.so\0.12", 16) + " [soname load]: path contains an interior NUL byte"}));
    // Paths are opened once with RTLD_NOW; the NUL candidate never reaches the loader.
    for (const auto& open : loader.opens()) EXPECT_EQ(open.mode, 2) << open.name;
    EXPECT_EQ(loader.opens().size(), 6u);
}

TEST(HostPinningLadder, FirstCompleteLibraryEndsTheSearch) {
    ScriptedLoader loader;
    loader.library("libcudart.so.13", {"cudaGetErrorName"}, 2);  // not loaded yet
    loader.library("libcudart.so.12", {}, 6);                    // already loaded: found by the no-load probe
    loader.library("libcudart.so");
    const auto result = hp::resolve({{"libcudart.so.13", Rung::SonameLoad},
                                     {"libcudart.so.12", Rung::SonameLoad},
                                     {"libcudart.so", Rung::SonameLoad}},
                                    {}, loader.loader());
    ASSERT_TRUE(std::holds_alternative<hp::CudaApi>(result));
    const auto& found = std::get<hp::CudaApi>(result);
    EXPECT_EQ(found.host_register, &hp::testing::inert_register);
    EXPECT_EQ(found.host_unregister, &hp::testing::inert_unregister);
    EXPECT_EQ(found.get_error_name, &hp::testing::inert_error_name);
    EXPECT_EQ(found.free, &hp::testing::inert_free);
    // 13 opens only on the real load (after a failed probe); 12 opens on the probe.
    EXPECT_EQ(loader.opens(), (std::vector<ScriptedLoader::Open>{{"libcudart.so.13", 6}, {"libcudart.so.13", 2},
                                                                 {"libcudart.so.12", 6}}));
}

// ---------------------------------------------------------------------------
// The ladder against the system loader and the stand-in runtime.

TEST(HostPinningLadder, SystemLoaderTextsForMissingSonames) {
    hp::SearchConfig config = hp::SearchConfig::system({});
    config.read_maps = [] { return std::string(); };
    config.sonames = {"libravo-absent-runtime.so.13", "libravo-absent-runtime.so"};
    const auto result = hp::api_with(*std::make_unique<hp::ApiCell>(), config);
    ASSERT_TRUE(std::holds_alternative<Strings>(result));
    const auto& notes = std::get<Strings>(result);
    ASSERT_EQ(notes.size(), 4u);
    EXPECT_EQ(notes[2].rfind("libravo-absent-runtime.so.13 [soname load]: libravo-absent-runtime.so.13: ", 0), 0u)
        << notes[2];
    EXPECT_EQ(notes[3].rfind("libravo-absent-runtime.so [soname load]: libravo-absent-runtime.so: ", 0), 0u) << notes[3];
}

TEST(HostPinningLadder, LibraryWithoutErrorNameIsNotedAndSkipped) {
    TempDir t;
    const auto partial = t.copy(fake_cudart_no_error_name_path(), "nvidia/a/lib/libcudart.so.13");
    const auto full = t.copy(fake_cudart_path(), "nvidia/b/lib/libcudart.so.12");
    const Strings roots = {t / "nvidia"};

    const auto only_partial = hp::resolve({{partial, Rung::WheelSearch}}, roots, hp::Loader::system());
    ASSERT_TRUE(std::holds_alternative<Strings>(only_partial));
    EXPECT_EQ(std::get<Strings>(only_partial),
              (Strings{"(none) [already-loaded scan]: this process has no CUDA runtime mapped",
                       partial + " [installed-wheel search]: opened, but cudaGetErrorName is missing",
                       "(none) [soname load]: no soname candidates"}));

    hp::SearchConfig config = hp::SearchConfig::system(roots);
    config.read_maps = [] { return std::string(); };
    config.sonames = {};
    EXPECT_EQ(hp::candidates(config), (std::vector<Candidate>{{partial, Rung::WheelSearch}, {full, Rung::WheelSearch}}));
    hp::ApiCell cell;
    const auto result = hp::api_with(cell, config);
    ASSERT_TRUE(std::holds_alternative<const hp::CudaApi*>(result));
    const hp::CudaApi* found = std::get<const hp::CudaApi*>(result);
    FakeCudart fake(full);
    EXPECT_EQ(reinterpret_cast<void*>(found->host_register), fake.sym("cudaHostRegister"));
    EXPECT_EQ(reinterpret_cast<void*>(found->host_unregister), fake.sym("cudaHostUnregister"));
    EXPECT_EQ(reinterpret_cast<void*>(found->get_error_name), fake.sym("cudaGetErrorName"));
    EXPECT_EQ(reinterpret_cast<void*>(found->free), fake.sym("cudaFree"));
}

TEST(HostPinningLadder, AlreadyLoadedRuntimeIsFoundInMaps) {
    TempDir t;
    const auto path = t.copy(fake_cudart_path(), "framework/lib/libcudart.so.12");
    FakeCudart fake(path);  // what a framework initialising CUDA would have done

    const auto loaded = hp::scan_maps(hp::read_self_maps());
    ASSERT_NE(std::find(loaded.begin(), loaded.end(), path), loaded.end());

    // Earlier tests may have left other copies mapped; the first mapped one wins.
    hp::SearchConfig config = hp::SearchConfig::system({});
    config.sonames = {};
    const auto list = hp::candidates(config);
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list.front().rung, Rung::LoadedScan);
    hp::ApiCell cell;
    const auto result = hp::api_with(cell, config);
    ASSERT_TRUE(std::holds_alternative<const hp::CudaApi*>(result));
    FakeCudart winner(list.front().text);
    EXPECT_EQ(reinterpret_cast<void*>(std::get<const hp::CudaApi*>(result)->host_register),
              winner.sym("cudaHostRegister"));
}

// ---------------------------------------------------------------------------
// The cell.

TEST(HostPinningCell, SuccessIsCachedFailureIsNot) {
    hp::ApiCell cell;
    int maps_reads = 0;

    ScriptedLoader absent;
    hp::SearchConfig failing = scripted_config(absent, "", {}, {"libcudart.so.12"});
    failing.read_maps = [&maps_reads] { ++maps_reads; return std::string(); };
    ASSERT_TRUE(std::holds_alternative<Strings>(hp::api_with(cell, failing)));
    EXPECT_EQ(cell.get(), nullptr);
    ASSERT_TRUE(std::holds_alternative<Strings>(hp::api_with(cell, failing)));  // searched again
    EXPECT_EQ(maps_reads, 2);

    ScriptedLoader present;  // a framework has loaded the runtime since
    present.library("libcudart.so.12");
    hp::SearchConfig working = scripted_config(present, "", {}, {"libcudart.so.12"});
    working.read_maps = failing.read_maps;
    const auto first = hp::api_with(cell, working);
    ASSERT_TRUE(std::holds_alternative<const hp::CudaApi*>(first));
    EXPECT_EQ(maps_reads, 3);
    const auto opens = present.opens().size();

    // Later calls touch nothing, whatever their configuration.
    const auto second = hp::api_with(cell, failing);
    ASSERT_TRUE(std::holds_alternative<const hp::CudaApi*>(second));
    EXPECT_EQ(std::get<const hp::CudaApi*>(second), std::get<const hp::CudaApi*>(first));
    EXPECT_EQ(maps_reads, 3);
    EXPECT_EQ(present.opens().size(), opens);
    EXPECT_EQ(absent.opens().size(), 4u);
}

TEST(HostPinningCell, FirstPublishWinsAcrossThreads) {
    for (int round = 0; round < 50; ++round) {
        hp::ApiCell cell;
        hp::CudaApi a{&hp::testing::inert_register, nullptr, nullptr, nullptr};
        hp::CudaApi b{nullptr, &hp::testing::inert_unregister, nullptr, nullptr};
        std::atomic<bool> go{false};
        const hp::CudaApi* seen[2] = {};
        std::thread ta([&] {
            while (!go.load(std::memory_order_acquire)) {
            }
            seen[0] = cell.publish(a);
        });
        std::thread tb([&] {
            while (!go.load(std::memory_order_acquire)) {
            }
            seen[1] = cell.publish(b);
        });
        go.store(true, std::memory_order_release);
        ta.join();
        tb.join();
        ASSERT_EQ(seen[0], seen[1]);
        ASSERT_EQ(cell.get(), seen[0]);
        // The stored value is one of the two, whole.
        const bool is_a = seen[0]->host_register != nullptr;
        EXPECT_EQ(seen[0]->host_unregister == nullptr, is_a);
    }
}

TEST(HostPinningCell, ProcessWideApiIsSharedAndStable) {
    TempDir t;
    t.copy(fake_cudart_path(), "nvidia/cuda_runtime/lib/libcudart.so.12");
    // Whatever the ladder finds first (an already mapped stand-in copy, or
    // this one under the vendor root), it must not fall through to a system
    // runtime, and a second call must return the same cell without a search.
    const auto first = hp::api({t / "nvidia"});
    ASSERT_TRUE(std::holds_alternative<const hp::CudaApi*>(first));
    const auto second = hp::api({});
    ASSERT_TRUE(std::holds_alternative<const hp::CudaApi*>(second));
    EXPECT_EQ(std::get<const hp::CudaApi*>(first), std::get<const hp::CudaApi*>(second));
    EXPECT_EQ(hp::process_cell().get(), std::get<const hp::CudaApi*>(first));
    // Whichever copy it is, it is a stand-in, reachable through its controls.
    const FakeCudart owner = FakeCudart::owning(*std::get<const hp::CudaApi*>(first));
    EXPECT_EQ(reinterpret_cast<void*>(std::get<const hp::CudaApi*>(first)->free), owner.sym("cudaFree"));
}

}  // namespace
