// A Progress that cuts a file short the first time the bar moves, the way another program may
// truncate or rewrite a source while the editor reads it. The first move of a load comes once its
// source is open and before the bulk of it is read.
#pragma once

#include <filesystem>

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
        if (!hasTruncated_) {
            hasTruncated_ = true;
            std::filesystem::resize_file(path_, length_);
        }
    }

private:
    std::filesystem::path path_;
    uintmax_t length_;
    bool hasTruncated_ = false;
};

}  // namespace brindle::test
