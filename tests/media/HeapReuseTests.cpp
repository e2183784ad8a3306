#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "ScrivelMedia/HeapReuse.hpp"

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

} // namespace
} // namespace scrivel
