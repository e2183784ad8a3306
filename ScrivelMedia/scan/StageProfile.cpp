#include "scan/StageProfile.hpp"

#include <atomic>
#include <mutex>

#include <signal.h>
#include <sys/time.h>

namespace scrivel {

namespace {

// Read from the signal handler: plain thread-locals in the initial-exec
// model, which never allocate on access.
constexpr std::uint8_t noStage = 0xFF;
__attribute__((tls_model("initial-exec"))) thread_local std::uint8_t currentStage = noStage;

// The network stage whose worker threads may be running, for the threads
// that have no stage of their own.
std::atomic<std::uint8_t> pooledStage{static_cast<std::uint8_t>(ScanStage::other)};
std::array<std::atomic<std::int64_t>, scanStageCount> sampleCounts{};

static_assert(std::atomic<std::uint8_t>::is_always_lock_free && std::atomic<std::int64_t>::is_always_lock_free,
              "the signal handler needs lock-free counters");

void takeSample(int)
{
    std::uint8_t stage = currentStage;
    if (stage == noStage)
        stage = pooledStage.load(std::memory_order_relaxed);
    sampleCounts[stage].fetch_add(1, std::memory_order_relaxed);
}

bool isNetwork(ScanStage stage)
{
    return stage == ScanStage::detection || stage == ScanStage::recognition;
}

} // namespace

std::string_view stageName(ScanStage stage)
{
    switch (stage) {
    case ScanStage::other: return "other";
    case ScanStage::decodingScan: return "decoding (scan)";
    case ScanStage::decodingReferences: return "decoding (references)";
    case ScanStage::decodingTracking: return "decoding (tracking)";
    case ScanStage::scaling: return "scaling";
    case ScanStage::registration: return "registration";
    case ScanStage::changePlanning: return "change planning";
    case ScanStage::detection: return "detection";
    case ScanStage::recognition: return "recognition";
    case ScanStage::keepingFrames: return "keeping frames";
    case ScanStage::references: return "references";
    case ScanStage::tracking: return "tracking";
    }
    return "other";
}

void StageProfile::start()
{
    static std::once_flag started;
    std::call_once(started, [] {
        struct sigaction action {};
        action.sa_handler = takeSample;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(SIGPROF, &action, nullptr);
        const itimerval every{{0, 1000}, {0, 1000}};
        setitimer(ITIMER_PROF, &every, nullptr);
    });
}

StageProfile::Samples StageProfile::samples()
{
    Samples counts{};
    for (std::size_t i = 0; i < scanStageCount; ++i)
        counts[i] = sampleCounts[i].load(std::memory_order_relaxed);
    return counts;
}

ScanStage StageProfile::current() noexcept
{
    return currentStage == noStage ? ScanStage::other : static_cast<ScanStage>(currentStage);
}

StageProfile::Scope::Scope(ScanStage stage) noexcept
    : outer_(currentStage == noStage ? ScanStage::other : static_cast<ScanStage>(currentStage)),
      outerPooled_(static_cast<ScanStage>(pooledStage.load(std::memory_order_relaxed))), network_(isNetwork(stage))
{
    currentStage = static_cast<std::uint8_t>(stage);
    if (network_)
        pooledStage.store(static_cast<std::uint8_t>(stage), std::memory_order_relaxed);
}

StageProfile::Scope::~Scope()
{
    currentStage = static_cast<std::uint8_t>(outer_);
    if (network_)
        pooledStage.store(static_cast<std::uint8_t>(outerPooled_), std::memory_order_relaxed);
}

} // namespace scrivel
