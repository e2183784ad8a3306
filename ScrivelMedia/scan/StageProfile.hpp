#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace scrivel {

// The parts of a scan whose processor time a benchmark reports apart.
enum class ScanStage : std::uint8_t {
    other,
    decodingScan,       // decoding and conversion, in the scan's own pass over the video
    decodingReferences, // decoding for the tracker's reference patches
    decodingTracking,   // decoding for the tracking pass
    scaling,            // frames scaled for registration, recognition and tracking
    registration,       // scene boundaries and frame registration
    changePlanning,     // incremental recognition outside the networks
    detection,          // the detection network, its input and its boxes
    recognition,        // the recognition network, its input and its reading
    keepingFrames,      // tracking frames kept for the tracker, and read back
    references,         // the tracker's reference patches
    tracking,           // following every reference through every frame
};
inline constexpr std::size_t scanStageCount = 12;

std::string_view stageName(ScanStage stage);

// Where a process's processor time goes, by stage: a sampling profile. Once
// started, the kernel interrupts whichever thread is running after every
// millisecond of the process's CPU time, and the sample goes to the stage
// that thread is in. Threads that never enter a stage (the networks' worker
// pools) are counted under the network stage running at the time. Marking
// stages costs one thread-local store each, so the marks stay in place when
// nothing samples them.
class StageProfile {
public:
    using Samples = std::array<std::int64_t, scanStageCount>;

    // Starts sampling, once per process; for benchmarks, which own their
    // process's SIGPROF.
    static void start();
    static Samples samples();
    // The calling thread's stage, for work it hands to helper threads.
    static ScanStage current() noexcept;

    // Marks the calling thread as in `stage` for the scope's lifetime; the
    // stage it was in before resumes after.
    class Scope {
    public:
        explicit Scope(ScanStage stage) noexcept;
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        ScanStage outer_;
        ScanStage outerPooled_;
        bool network_;
    };
};

} // namespace scrivel
