// Tests of buffer registration: pin_all with its rollback, release, the two
// error texts, and pin_host_memory end to end with the stand-in runtime.
#include "host_pinning/register.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "support/pinning_fixtures.h"

namespace {

namespace hp = ravo::host_pinning;
using hp::testing::fake_cudart_path;
using hp::testing::FakeCudart;
using hp::testing::ScriptedLoader;
using hp::testing::scripted_config;
using hp::testing::TempDir;

// ---------------------------------------------------------------------------
// In-process entry points that record every call into `g_script`.

struct Call {
    char entry;  // 'F' free, 'R' register, 'U' unregister, 'N' error name
    void* ptr;
    std::size_t bytes;
    std::uint32_t flags;
    std::int32_t status;
    bool operator==(const Call&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Call& c) {
    return os << c.entry << "(" << c.ptr << ", " << c.bytes << ", " << c.flags << ", " << c.status << ")";
}

struct Script {
    std::vector<Call> calls;
    int register_calls = 0;
    int refuse_at = 0;  // 1-based registration to refuse; 0 = none
    std::int32_t refuse_status = 0;
    const char* name = "cudaErrorMemoryAllocation";
    std::int32_t unregister_status = 0;
};
Script g_script;

std::int32_t rec_free(void* p) {
    g_script.calls.push_back({'F', p, 0, 0, 0});
    return 35;  // a failing status, which must be ignored
}
std::int32_t rec_register(void* p, std::size_t n, std::uint32_t flags) {
    const bool refuse = ++g_script.register_calls == g_script.refuse_at;
    const std::int32_t status = refuse ? g_script.refuse_status : 0;
    g_script.calls.push_back({'R', p, n, flags, status});
    return status;
}
std::int32_t rec_unregister(void* p) {
    g_script.calls.push_back({'U', p, 0, 0, g_script.unregister_status});
    return g_script.unregister_status;
}
const char* rec_error_name(std::int32_t status) {
    g_script.calls.push_back({'N', nullptr, 0, 0, status});
    return g_script.name;
}

const hp::CudaApi kRecorder{&rec_register, &rec_unregister, &rec_error_name, &rec_free};

class HostPinningRegister : public ::testing::Test {
protected:
    void SetUp() override { g_script = Script{}; }

    // Regions over real memory so a sanitizer sees any stray access.
    std::vector<hp::Region> regions(std::initializer_list<std::size_t> sizes) {
        std::vector<hp::Region> out;
        for (const std::size_t n : sizes) {
            storage_.emplace_back(n);
            out.push_back({n == 0 ? nullptr : storage_.back().data(), n});
        }
        return out;
    }

    std::vector<std::vector<unsigned char>> storage_;
};

Call F() { return {'F', nullptr, 0, 0, 0}; }
Call R(const hp::Region& r, std::int32_t status = 0) { return {'R', r.start, r.bytes, 1, status}; }
Call U(const hp::Region& r, std::int32_t status = 0) { return {'U', r.start, 0, 0, status}; }
Call N(std::int32_t status) { return {'N', nullptr, 0, 0, status}; }

TEST_F(HostPinningRegister, RegistersEachNonEmptyRegionOnceInOrderAfterOneFree) {
    const auto r = regions({16, 0, 8, 24});
    EXPECT_EQ(hp::pin_all(kRecorder, r), std::nullopt);
    EXPECT_EQ(g_script.calls, (std::vector<Call>{F(), R(r[0]), R(r[2]), R(r[3])}));
}

TEST_F(HostPinningRegister, NoRegionsStillInitialisesOnce) {
    EXPECT_EQ(hp::pin_all(kRecorder, {}), std::nullopt);
    EXPECT_EQ(g_script.calls, (std::vector<Call>{F()}));
}

TEST_F(HostPinningRegister, RefusingTheSecondOfThreeRollsBackTheFirst) {
    g_script.refuse_at = 2;
    g_script.refuse_status = 2;
    const auto r = regions({4096, 8192, 64});
    const auto failed = hp::pin_all(kRecorder, r);
    ASSERT_TRUE(failed.has_value());
    EXPECT_EQ(failed->name, "cudaErrorMemoryAllocation");
    EXPECT_EQ(failed->code, 2);
    EXPECT_EQ(failed->index, 1u);
    EXPECT_EQ(failed->bytes, 8192u);
    // The third region is never touched.
    EXPECT_EQ(g_script.calls, (std::vector<Call>{F(), R(r[0]), R(r[1], 2), U(r[0]), N(2)}));
    EXPECT_EQ(hp::PinError{*failed}.to_string(),
              "pin_host_memory=True but cudaHostRegister failed with cudaErrorMemoryAllocation (2) on ring buffer 1 "
              "(8192 bytes). Registrations made before the failure have been rolled back. A usable CUDA device must "
              "be visible to this process; construct the Server after CUDA is initialised.");
}

TEST_F(HostPinningRegister, RefusingTheFirstNonEmptyRegionUnregistersNothing) {
    g_script.refuse_at = 1;
    g_script.refuse_status = 100;
    g_script.name = "cudaErrorNoDevice";
    const auto r = regions({0, 32, 32});
    const auto failed = hp::pin_all(kRecorder, r);
    ASSERT_TRUE(failed.has_value());
    EXPECT_EQ(failed->index, 1u);  // the empty leaf keeps index 0
    EXPECT_EQ(failed->bytes, 32u);
    EXPECT_EQ(g_script.calls, (std::vector<Call>{F(), R(r[1], 100), N(100)}));
}

TEST_F(HostPinningRegister, ZeroByteLeafIsSkippedByRollbackButKeepsIndices) {
    g_script.refuse_at = 3;
    g_script.refuse_status = 712;
    g_script.unregister_status = 713;  // a refused rollback does not stop the rollback
    const auto r = regions({8, 0, 16, 0, 24, 40});
    const auto failed = hp::pin_all(kRecorder, r);
    ASSERT_TRUE(failed.has_value());
    EXPECT_EQ(failed->index, 4u);
    EXPECT_EQ(failed->bytes, 24u);
    EXPECT_EQ(g_script.calls,
              (std::vector<Call>{F(), R(r[0]), R(r[2]), R(r[4], 712), U(r[0], 713), U(r[2], 713), N(712)}));
}

TEST_F(HostPinningRegister, ErrorNames) {
    g_script.refuse_at = 1;
    g_script.refuse_status = 999;
    g_script.name = nullptr;
    const auto r = regions({8});
    auto failed = hp::pin_all(kRecorder, r);
    ASSERT_TRUE(failed.has_value());
    EXPECT_EQ(failed->name, "unrecognised CUDA error 999");
    EXPECT_NE(hp::PinError{*failed}.to_string().find("failed with unrecognised CUDA error 999 (999) on ring buffer 0 (8 bytes)."),
              std::string::npos);

    g_script = Script{};
    g_script.refuse_at = 1;
    g_script.refuse_status = -7;
    g_script.name = "cudaError\xff";
    failed = hp::pin_all(kRecorder, r);
    ASSERT_TRUE(failed.has_value());
    EXPECT_EQ(failed->name, "cudaError\xEF\xBF\xBD");
    EXPECT_EQ(failed->code, -7);

    g_script.name = nullptr;
    EXPECT_EQ(hp::error_name(kRecorder, -1), "unrecognised CUDA error -1");
}

TEST_F(HostPinningRegister, ReleaseUnregistersEachNonEmptyRegionOnceInOrder) {
    g_script.unregister_status = 1;  // ignored
    const auto r = regions({0, 16, 0, 8, 32});
    hp::release(kRecorder, r);
    EXPECT_EQ(g_script.calls, (std::vector<Call>{U(r[1], 1), U(r[3], 1), U(r[4], 1)}));
    g_script.calls.clear();
    hp::release(kRecorder, regions({0, 0}));
    EXPECT_TRUE(g_script.calls.empty());
}

TEST(HostPinningText, NoRuntimeWithTwoNotesHasFourLines) {
    const hp::PinError error{hp::NoRuntime{{"first note", "second note"}}};
    EXPECT_EQ(error.to_string(),
              "pin_host_memory=True but no CUDA runtime could be loaded. Probed, in order:\n"
              "  - first note\n"
              "  - second note\n"
              "Install a CUDA runtime (for example the nvidia-cuda-runtime wheel), or construct the Server after "
              "your framework has initialised CUDA.");
}

TEST(HostPinningText, NoRuntimeAnywhereFullText) {
    ScriptedLoader loader;
    hp::ApiCell cell;
    const auto result = hp::pin_host_memory_with(cell, scripted_config(loader, "", {}, hp::default_sonames()), {});
    ASSERT_TRUE(std::holds_alternative<hp::PinError>(result));
    EXPECT_EQ(std::get<hp::PinError>(result).to_string(),
              "pin_host_memory=True but no CUDA runtime could be loaded. Probed, in order:\n"
              "  - (none) [already-loaded scan]: this process has no CUDA runtime mapped\n"
              "  - (none) [installed-wheel search]: no CUDA vendor package is importable\n"
              "  - libcudart.so.13 [soname load]: libcudart.so.13: cannot open shared object file: No such file or "
              "directory\n"
              "  - libcudart.so.12 [soname load]: libcudart.so.12: cannot open shared object file: No such file or "
              "directory\n"
              "  - libcudart.so [soname load]: libcudart.so: cannot open shared object file: No such file or "
              "directory\n"
              "Install a CUDA runtime (for example the nvidia-cuda-runtime wheel), or construct the Server after "
              "your framework has initialised CUDA.");
    EXPECT_EQ(cell.get(), nullptr);
}

// ---------------------------------------------------------------------------
// End to end through the search, with the stand-in runtime under a vendor root.

class HostPinningStandIn : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = tree_.copy(fake_cudart_path(), "nvidia/cuda_runtime/lib/libcudart.so.12");
        fake_ = std::make_unique<FakeCudart>(path_);
        config_ = hp::SearchConfig::system({tree_ / "nvidia"});
        config_.read_maps = [] { return std::string(); };  // only this copy, through the wheel rung
        config_.sonames = {};
    }

    std::vector<hp::Region> regions(std::initializer_list<std::size_t> sizes) {
        std::vector<hp::Region> out;
        for (const std::size_t n : sizes) {
            storage_.emplace_back(n);
            out.push_back({n == 0 ? nullptr : storage_.back().data(), n});
        }
        return out;
    }

    TempDir tree_;
    std::string path_;
    std::unique_ptr<FakeCudart> fake_;
    hp::SearchConfig config_;
    hp::ApiCell cell_;
    std::vector<std::vector<unsigned char>> storage_;
};

TEST_F(HostPinningStandIn, PinsAndReleasesThroughTheResolvedCopy) {
    const auto r = regions({64, 0, 128});
    const auto result = hp::pin_host_memory_with(cell_, config_, r);
    ASSERT_TRUE(std::holds_alternative<hp::CudaApi>(result));
    const hp::CudaApi pinned = std::get<hp::CudaApi>(result);
    EXPECT_EQ(pinned.host_register, cell_.get()->host_register);
    EXPECT_EQ(fake_->registered_count(), 2u);

    hp::release(pinned, r);
    EXPECT_EQ(fake_->registered_count(), 0u);
    const auto calls = fake_->calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0].entry, FAKE_CUDART_FREE);
    EXPECT_EQ(calls[0].ptr, nullptr);
    EXPECT_EQ(calls[1].entry, FAKE_CUDART_HOST_REGISTER);
    EXPECT_EQ(calls[1].ptr, r[0].start);
    EXPECT_EQ(calls[1].bytes, 64u);
    EXPECT_EQ(calls[1].flags, 1u);
    EXPECT_EQ(calls[2].entry, FAKE_CUDART_HOST_REGISTER);
    EXPECT_EQ(calls[2].ptr, r[2].start);
    EXPECT_EQ(calls[2].bytes, 128u);
    EXPECT_EQ(calls[3].entry, FAKE_CUDART_HOST_UNREGISTER);
    EXPECT_EQ(calls[3].ptr, r[0].start);
    EXPECT_EQ(calls[3].status, 0);
    EXPECT_EQ(calls[4].entry, FAKE_CUDART_HOST_UNREGISTER);
    EXPECT_EQ(calls[4].ptr, r[2].start);
    EXPECT_EQ(calls[4].status, 0);
}

TEST_F(HostPinningStandIn, RefusalLeavesNothingRegistered) {
    fake_->refuse_register(2, 2);
    const auto r = regions({16, 32, 48});
    const auto result = hp::pin_host_memory_with(cell_, config_, r);
    ASSERT_TRUE(std::holds_alternative<hp::PinError>(result));
    EXPECT_EQ(std::get<hp::PinError>(result).to_string(),
              "pin_host_memory=True but cudaHostRegister failed with cudaErrorMemoryAllocation (2) on ring buffer 1 "
              "(32 bytes). Registrations made before the failure have been rolled back. A usable CUDA device must "
              "be visible to this process; construct the Server after CUDA is initialised.");
    EXPECT_EQ(fake_->registered_count(), 0u);
    const auto calls = fake_->calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[3].entry, FAKE_CUDART_HOST_UNREGISTER);
    EXPECT_EQ(calls[3].ptr, r[0].start);
    EXPECT_EQ(calls[3].status, 0);  // it really was registered
    EXPECT_EQ(calls[4].entry, FAKE_CUDART_GET_ERROR_NAME);
    for (const auto& c : calls) EXPECT_NE(c.ptr, r[2].start);
}

TEST_F(HostPinningStandIn, NullErrorName) {
    fake_->refuse_register(1, 999);
    fake_->set_error_name(2, nullptr);
    const auto result = hp::pin_host_memory_with(cell_, config_, regions({8}));
    ASSERT_TRUE(std::holds_alternative<hp::PinError>(result));
    const auto& failed = std::get<hp::RegisterFailed>(std::get<hp::PinError>(result).form);
    EXPECT_EQ(failed.name, "unrecognised CUDA error 999");
    EXPECT_EQ(failed.code, 999);
}

TEST_F(HostPinningStandIn, EnvironmentControlsAndLog) {
    const std::string log = tree_ / "calls.log";
    ASSERT_EQ(::setenv("RAVO_FAKE_CUDART_LOG", log.c_str(), 1), 0);
    ASSERT_EQ(::setenv("RAVO_FAKE_CUDART_REFUSE_AT", "2", 1), 0);
    ASSERT_EQ(::setenv("RAVO_FAKE_CUDART_REFUSE_STATUS", "3", 1), 0);
    ASSERT_EQ(::setenv("RAVO_FAKE_CUDART_ERROR_NAME", "cudaErrorFromEnv", 1), 0);
    fake_->reset();  // re-reads the environment
    for (const char* name : {"RAVO_FAKE_CUDART_LOG", "RAVO_FAKE_CUDART_REFUSE_AT", "RAVO_FAKE_CUDART_REFUSE_STATUS",
                             "RAVO_FAKE_CUDART_ERROR_NAME"}) {
        ASSERT_EQ(::unsetenv(name), 0);
    }
    const auto r = regions({16, 32});
    const auto result = hp::pin_host_memory_with(cell_, config_, r);
    fake_->reset();  // back to defaults for any later user of this copy
    ASSERT_TRUE(std::holds_alternative<hp::PinError>(result));
    EXPECT_EQ(std::get<hp::RegisterFailed>(std::get<hp::PinError>(result).form).name, "cudaErrorFromEnv");

    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    std::ostringstream want;
    want << "cudaFree 0x0 0 0 0\n"
         << "cudaHostRegister " << r[0].start << " 16 1 0\n"
         << "cudaHostRegister " << r[1].start << " 32 1 3\n"
         << "cudaHostUnregister " << r[0].start << " 0 0 0\n"
         << "cudaGetErrorName 0x0 0 0 3\n";
    EXPECT_EQ(text.str(), want.str());
}

}  // namespace
