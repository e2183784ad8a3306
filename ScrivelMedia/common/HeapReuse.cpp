#include "common/HeapReuse.hpp"

#include <cstddef>
#include <map>
#include <mutex>
#include <unordered_map>

#include <opencv2/core.hpp>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace scrivel {

namespace {

std::mutex jobsMutex;
int jobs = 0; // guarded by jobsMutex

// OpenCV's buffers (frames, network tensors) of at least kLeastKeptBytes,
// kept when freed while a job runs and handed out again for a request they
// fit without wasting more than half. glibc cannot keep them: on a thread
// other than the main one, a block above 64 MiB is always mapped on its own
// and unmapped when freed, and one of tens of MiB takes a 64 MiB heap that
// is unmapped once empty. A detection net planned for a window and then for
// the whole frame again (on the scan's recognition thread) faulted every
// page of its largest tensors in again: 150 to 250 ms each time.
class BufferKeeper final : public cv::MatAllocator {
public:
    static constexpr std::size_t kLeastKeptBytes = 32 << 20;
    static constexpr std::size_t kMostKeptBytes = 512 << 20;

    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data0, std::size_t* step, cv::AccessFlag,
                           cv::UMatUsageFlags) const override
    {
        std::size_t total = CV_ELEM_SIZE(type);
        for (int i = dims - 1; i >= 0; --i) {
            if (step) {
                if (data0 && step[i] != cv::Mat::AUTO_STEP) {
                    CV_Assert(total <= step[i]);
                    total = step[i];
                } else {
                    step[i] = total;
                }
            }
            total *= static_cast<std::size_t>(sizes[i]);
        }
        auto* data = static_cast<uchar*>(data0 ? data0 : take(total));
        auto* u = new cv::UMatData(this);
        u->data = u->origdata = data;
        u->size = total;
        if (data0)
            u->flags |= cv::UMatData::USER_ALLOCATED;
        return u;
    }

    bool allocate(cv::UMatData* u, cv::AccessFlag, cv::UMatUsageFlags) const override { return u != nullptr; }

    void deallocate(cv::UMatData* u) const override
    {
        if (!u)
            return;
        CV_Assert(u->urefcount == 0);
        CV_Assert(u->refcount == 0);
        if (!(u->flags & cv::UMatData::USER_ALLOCATED))
            give(u->origdata);
        delete u;
    }

    void setKeeping(bool keeping)
    {
        std::lock_guard lock(mutex_);
        keeping_ = keeping;
        if (keeping)
            return;
        for (auto& [bytes, block] : kept_) {
            sizes_.erase(block);
            cv::fastFree(block);
        }
        kept_.clear();
        keptBytes_ = 0;
    }

    std::size_t keptBytes() const
    {
        std::lock_guard lock(mutex_);
        return keptBytes_;
    }

private:
    void* take(std::size_t bytes) const
    {
        if (bytes >= kLeastKeptBytes) {
            std::lock_guard lock(mutex_);
            if (auto found = kept_.lower_bound(bytes); found != kept_.end() && found->first / 2 <= bytes) {
                void* block = found->second;
                keptBytes_ -= found->first;
                kept_.erase(found);
                return block;
            }
        }
        void* block = cv::fastMalloc(bytes);
        if (bytes >= kLeastKeptBytes) {
            std::lock_guard lock(mutex_);
            sizes_[block] = bytes;
        }
        return block;
    }

    void give(void* block) const
    {
        {
            std::lock_guard lock(mutex_);
            if (auto size = sizes_.find(block); size != sizes_.end()) {
                if (keeping_ && keptBytes_ + size->second <= kMostKeptBytes) {
                    kept_.emplace(size->second, block);
                    keptBytes_ += size->second;
                    return;
                }
                sizes_.erase(size);
            }
        }
        cv::fastFree(block);
    }

    mutable std::mutex mutex_;
    bool keeping_ = false;                                 // guarded by mutex_
    mutable std::unordered_map<void*, std::size_t> sizes_; // blocks of kLeastKeptBytes or more; guarded by mutex_
    mutable std::multimap<std::size_t, void*> kept_;       // by size; guarded by mutex_
    mutable std::size_t keptBytes_ = 0;                    // guarded by mutex_
};

// OpenCV's allocator from the first job on: buffers it handed out may be
// freed long after a job (a net's tensors), so it is never destroyed, and it
// is put in place once, not swapped while other threads allocate.
BufferKeeper& bufferKeeper()
{
    static auto* keeper = [] {
        auto* created = new BufferKeeper;
        cv::Mat::setDefaultAllocator(created);
        return created;
    }();
    return *keeper;
}

#if defined(__GLIBC__)
// Blocks up to this size come from the heap; the heap's free top is kept up to
// the trim size. Both well above a 4K frame's buffers.
constexpr int kHeapBlockBytes = 256 << 20;
constexpr int kKeptFreeBytes = 1 << 30;
// glibc's own starting values (it raises the block size by itself unless a
// value was set, which these restore).
constexpr int kDefaultBlockBytes = 128 << 10;
constexpr int kDefaultKeptFreeBytes = 128 << 10;
#endif

} // namespace

HeapReuse::HeapReuse()
{
    std::lock_guard lock(jobsMutex);
    if (jobs++ > 0)
        return;
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, kHeapBlockBytes);
    mallopt(M_TRIM_THRESHOLD, kKeptFreeBytes);
#endif
    bufferKeeper().setKeeping(true);
}

HeapReuse::~HeapReuse()
{
    std::lock_guard lock(jobsMutex);
    if (--jobs > 0)
        return;
    bufferKeeper().setKeeping(false);
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, kDefaultBlockBytes);
    mallopt(M_TRIM_THRESHOLD, kDefaultKeptFreeBytes);
    malloc_trim(0);
#endif
}

std::size_t HeapReuse::keptBufferBytes()
{
    return bufferKeeper().keptBytes();
}

} // namespace scrivel
