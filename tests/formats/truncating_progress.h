// A Progress that cuts a file to length the first time the bar moves (once a load's source is open and
// before the bulk of it is read), the way another program may truncate a source while the editor reads it.
#pragma once

#include <filesystem>
#include <utility>

#include "tasks/progress.h"

namespace brindle::test {

class TruncatingProgress final : public Progress {
public:
    TruncatingProgress(uint32_t range, std::filesystem::path path, uintmax_t length)
        : Progress(range), path_(std::move(path)), length_(length)
    {
    }
    bool HasTruncated() const { return hasTruncated_; }

protected:
    void OnPositionChanged() override
    {
        if (!std::exchange(hasTruncated_, true))
            std::filesystem::resize_file(path_, length_);
    }

private:
    std::filesystem::path path_;
    uintmax_t length_;
    bool hasTruncated_ = false;
};

}  // namespace brindle::test
