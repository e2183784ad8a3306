#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "common/HeapReuse.hpp"

namespace scrivel {
namespace {

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kBlockBytes = 64 << 20; // above glibc's largest self-chosen threshold

// Whether a block of kBlockBytes allocated now is mapped on its own (given
// back to the system when freed) rather than taken from the heap.
bool largeBlockIsMapped()
{
    const std::size_t before = mallinfo2().hblkhd;
    std::unique_ptr<char, decltype(&std::free)> block(static_cast<char*>(std::malloc(kBlockBytes)), &std::free);
    EXPECT_NE(block, nullptr);
    static_cast<volatile char*>(block.get())[kBlockBytes - 1] = 1;
    return mallinfo2().hblkhd >= before + kBlockBytes;
}
#endif

TEST(HeapReuse, LargeBlocksComeFromTheHeapUntilTheLastJobEnds)
{
#if !defined(__GLIBC__) || defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "tunes glibc's own allocator only";
#else
    {
        const HeapReuse scan;
        EXPECT_FALSE(largeBlockIsMapped());
        {
            const HeapReuse export_;
            EXPECT_FALSE(largeBlockIsMapped());
        }
        // Another job still runs.
        EXPECT_FALSE(largeBlockIsMapped());
    }
    EXPECT_TRUE(largeBlockIsMapped());
#endif
}

// Network tensors too large for glibc to keep on a worker thread: one freed
// during a job is handed out again for the next request it fits (wasting no
// more than half of it), whichever thread frees and asks; once the last job
// ends, none is kept.
TEST(HeapReuse, LargeOpenCvBuffersFreedDuringAJobAreHandedOutAgain)
{
    constexpr int kLarge = 96 << 20;
    std::uint8_t* first = nullptr;
    {
        const HeapReuse scan;
        std::thread([&] {
            cv::Mat tensor(1, kLarge, CV_8U);
            tensor.setTo(1);
            first = tensor.data;
        }).join();
        EXPECT_GE(HeapReuse::keptBufferBytes(), static_cast<std::size_t>(kLarge));
        std::thread([&] {
            const cv::Mat tooSmall(1, kLarge / 2 - 4096, CV_8U);
            EXPECT_NE(tooSmall.data, first);
            const cv::Mat fits(1, kLarge - 4096, CV_8U);
            EXPECT_EQ(fits.data, first);
        }).join();
        // Over a buffer of its own, nothing is allocated or kept.
        std::vector<std::uint8_t> own(kLarge);
        const std::size_t kept = HeapReuse::keptBufferBytes();
        { const cv::Mat view(1, kLarge, CV_8U, own.data()); }
        EXPECT_EQ(HeapReuse::keptBufferBytes(), kept);
    }
    EXPECT_EQ(HeapReuse::keptBufferBytes(), 0u);
    // Freed with no job running: given back at once.
    { const cv::Mat after(1, kLarge, CV_8U); }
    EXPECT_EQ(HeapReuse::keptBufferBytes(), 0u);
}

} // namespace
} // namespace scrivel
