#pragma once

#include <filesystem>

namespace scrivel {

// Keeps access to a user-chosen file for as long as the selection holds it.
// Linux has no sandbox grant to start, so `started` is always false and
// letting go releases nothing; holders share it through std::shared_ptr.
class SecurityScopedFileAccess {
public:
    explicit SecurityScopedFileAccess(std::filesystem::path url) : url_(std::move(url)) {}
    SecurityScopedFileAccess(const SecurityScopedFileAccess&) = delete;
    SecurityScopedFileAccess& operator=(const SecurityScopedFileAccess&) = delete;

    const std::filesystem::path& url() const { return url_; }
    bool started() const { return started_; }

private:
    std::filesystem::path url_;
    bool started_ = false;
};

} // namespace scrivel
