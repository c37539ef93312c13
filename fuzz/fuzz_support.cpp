#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "storage/sound_buffer.h"
#include "tasks/yield_pacer.h"

namespace brindle::fuzz {
namespace {

// Never destroyed: the exit handler below still needs it after static destructors ran.
const std::filesystem::path& Folder()
{
    static const std::filesystem::path* folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "brindle-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            std::abort();
        ::setenv("TMPDIR", pattern.c_str(), 1);
        // As in brindle-batch: no window to keep responsive, so no pauses to wait through.
        brindle::YieldPacer::SetPausing(false);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(Folder(), ignored);
        });
        return new std::filesystem::path(pattern);
    }();
    return *folder;
}

}  // namespace

std::filesystem::path WriteInput(const uint8_t* data, size_t size, const std::string& name)
{
    const std::filesystem::path path = Folder() / name;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        std::abort();
    for (size_t done = 0; done < size;) {
        const ssize_t put = ::write(fd, data + done, size - done);
        if (put <= 0)
            std::abort();
        done += size_t(put);
    }
    ::close(fd);
    return path;
}

void ReadEverySample(const SoundBuffer& buffer)
{
    std::vector<float> samples(4096);
    for (uint32_t c = 0; c < buffer.channels.ChannelCount(); ++c) {
        const auto& store = buffer.channels.Channel(int(c));
        for (uint32_t at = 0; at < store.StoredLength(); at += uint32_t(samples.size())) {
            const uint32_t count = std::min<uint32_t>(uint32_t(samples.size()), store.StoredLength() - at);
            if (!store.ReadSamples(at, samples.data(), count))
                __builtin_trap();
        }
    }
}

}  // namespace brindle::fuzz
