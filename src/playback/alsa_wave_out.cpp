#include "playback/alsa_wave_out.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace brindle {
namespace {

// alsa-lib prints its errors to stderr unless told otherwise; a missing card is not worth a word.
void QuietAlsaError(const char*, int, const char*, int, const char*, ...) {}

void SilenceAlsa()
{
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&QuietAlsaError); });
}

std::string ChosenDeviceName(const std::string& given)
{
    if (!given.empty())
        return given;
    const char* fromEnvironment = std::getenv("BRINDLE_ALSA_DEVICE");
    return fromEnvironment && *fromEnvironment ? fromEnvironment : "default";
}

// About a quarter second in ALSA's buffer, refilled every 50 ms: small enough that Pause, Stop and a
// seek are heard at once, large enough that a busy machine does not underrun.
constexpr unsigned kBufferMicroseconds = 250000;
constexpr unsigned kPeriodMicroseconds = 50000;
// Longest a draining close waits between looks at the delay.
constexpr int kDrainPollMs = 10;

}  // namespace

struct AlsaWaveOut::Impl {
    Options options;
    std::string deviceName;

    mutable std::mutex mutex;
    std::thread thread;
    int wakeFd = -1;
    bool quit = false;

    // Everything below is guarded by mutex. The thread calls ALSA only while holding it and never
    // blocks while holding it (the PCM is non-blocking; it waits in poll with the mutex released).
    snd_pcm_t* pcm = nullptr;
    unsigned generation = 0;  // counts opens and closes, so a wait that spans one is not misread
    WaveOutEventSink* sink = nullptr;
    unsigned channels = 0;
    snd_pcm_uframes_t bufferFrames = 0;
    bool canPause = false;
    static constexpr size_t kMaxPollFds = 16;
    std::array<pollfd, kMaxPollFds> pollFds{};  // [0] the wake descriptor, then the PCM's
    size_t pollFdCount = 1;

    static constexpr size_t kQueueCapacity = 8;
    std::array<WaveBlock*, kQueueCapacity> queue{};
    size_t queueHead = 0;
    size_t queueCount = 0;
    uint32_t frontFrames = 0;  // frames of the front block already written

    uint64_t written = 0;  // frames written since the open or the last reset, less frames dropped
    bool paused = false;
    bool devicePaused = false;  // paused with snd_pcm_pause
    bool closing = false;
    bool lost = false;

    // The frames most recently written, so that a pause by dropping can write again what had not sounded.
    std::vector<int16_t> history;
    uint32_t historyFrames = 0;   // capacity in frames
    uint64_t historyEnd = 0;      // frames ever appended; the ring holds the last historyFrames of them
    uint32_t tailFrames = 0;      // frames before historyEnd to write again before the queue goes on

    void Wake() const
    {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(wakeFd, &one, sizeof one);
    }

    void Post(WaveOutEventKind kind, WaveBlock* block = nullptr)
    {
        if (sink)
            sink->Post({kind, block});
    }

    void HandBackAll()
    {
        while (queueCount > 0) {
            WaveBlock* block = queue[queueHead];
            queueHead = (queueHead + 1) % kQueueCapacity;
            --queueCount;
            Post(WaveOutEventKind::BlockDone, block);
        }
        frontFrames = 0;
    }

    void Remember(const int16_t* frames, uint32_t count)
    {
        while (count > 0) {
            const uint32_t at = uint32_t(historyEnd % historyFrames);
            const uint32_t piece = std::min(count, historyFrames - at);
            std::memcpy(&history[size_t(at) * channels], frames, size_t(piece) * channels * sizeof(int16_t));
            frames += size_t(piece) * channels;
            historyEnd += piece;
            count -= piece;
        }
    }

    uint64_t Delay() const
    {
        snd_pcm_sframes_t delay = 0;
        // An underrun (at the end, say): everything written has sounded. alsa-lib's plugin layer can
        // find the underrun inside this very call and still answer from the pointer it had before, so
        // the state is asked afterwards.
        if (snd_pcm_delay(pcm, &delay) < 0 || delay < 0 || snd_pcm_state(pcm) == SND_PCM_STATE_XRUN)
            return 0;
        return std::min<uint64_t>(uint64_t(delay), written);
    }

    // Stops the output, keeping what had not sounded to be written again.
    void DropKeepingTail()
    {
        const uint64_t unplayed = Delay();
        snd_pcm_drop(pcm);
        snd_pcm_prepare(pcm);
        written -= unplayed;
        const uint64_t kept = std::min<uint64_t>(historyEnd, historyFrames);
        tailFrames = uint32_t(std::min<uint64_t>(tailFrames + unplayed, kept));
    }

    void FinishClose()
    {
        snd_pcm_drop(pcm);
        snd_pcm_close(pcm);
        pcm = nullptr;
        ++generation;
        closing = lost = paused = devicePaused = false;
        tailFrames = 0;
        Post(WaveOutEventKind::Closed);
        sink = nullptr;
    }

    void Lose()
    {
        // Unplugged, or the sound server went away: nothing more will play. The blocks go back, and
        // the engine's Close then succeeds at once.
        lost = true;
        tailFrames = 0;
        HandBackAll();
    }

    // Writes what fits without waiting. Returns 1 when it wrote (or recovered), 0 when ALSA is full,
    // -1 when the device is gone.
    int WriteSome()
    {
        const int16_t* from = nullptr;
        uint32_t frames = 0;
        if (tailFrames > 0) {
            const uint64_t first = historyEnd - tailFrames;
            const uint32_t at = uint32_t(first % historyFrames);
            from = &history[size_t(at) * channels];
            frames = std::min(tailFrames, historyFrames - at);
        } else {
            const WaveBlock* front = queue[queueHead];
            from = front->data + size_t(frontFrames) * channels;
            frames = front->byteCount / (2 * channels) - frontFrames;
        }
        snd_pcm_sframes_t result = frames == 0 ? 0 : snd_pcm_writei(pcm, from, frames);
        if (result == -EAGAIN)
            return 0;
        if (result < 0) {
            if ((result == -EPIPE || result == -ESTRPIPE || result == -EINTR) && snd_pcm_recover(pcm, int(result), 1) == 0)
                return 1;
            Lose();
            return -1;
        }
        written += uint64_t(result);
        if (tailFrames > 0) {
            tailFrames -= uint32_t(result);
            return 1;
        }
        Remember(from, uint32_t(result));
        frontFrames += uint32_t(result);
        const WaveBlock* front = queue[queueHead];
        if (frontFrames == front->byteCount / (2 * channels)) {
            WaveBlock* done = queue[queueHead];
            queueHead = (queueHead + 1) % kQueueCapacity;
            --queueCount;
            frontFrames = 0;
            Post(WaveOutEventKind::BlockDone, done);
        }
        return 1;
    }

    // For a draining close: true once everything written has sounded.
    bool Drained()
    {
        const snd_pcm_state_t state = snd_pcm_state(pcm);
        if (state == SND_PCM_STATE_PREPARED) {
            // Less than the start threshold was ever written: start it so it sounds.
            if (Delay() == 0 || snd_pcm_start(pcm) < 0)
                return true;
            return false;
        }
        if (state != SND_PCM_STATE_RUNNING && state != SND_PCM_STATE_DRAINING)
            return true;
        return Delay() == 0;
    }

    void Run()
    {
        std::unique_lock lock(mutex);
        while (!quit) {
            int timeoutMs = -1;
            bool waitForDevice = false;
            if (pcm && !lost && !paused) {
                if (tailFrames > 0 || queueCount > 0) {
                    const int wrote = WriteSome();
                    if (wrote != 0)
                        continue;
                    waitForDevice = true;
                } else if (closing) {
                    if (Drained()) {
                        FinishClose();
                        continue;
                    }
                    timeoutMs = kDrainPollMs;
                }
            }
            // The wait works on its own copy: an Open meanwhile may set new descriptors.
            const unsigned waitedGeneration = generation;
            std::array<pollfd, kMaxPollFds> fds = pollFds;
            const nfds_t count = waitForDevice ? nfds_t(pollFdCount) : 1;
            fds[0] = {wakeFd, POLLIN, 0};
            lock.unlock();
            ::poll(fds.data(), count, timeoutMs);
            lock.lock();
            if (fds[0].revents & POLLIN) {
                uint64_t value = 0;
                [[maybe_unused]] const ssize_t ignored = ::read(wakeFd, &value, sizeof value);
            }
            if (waitForDevice && pcm && generation == waitedGeneration) {
                unsigned short revents = 0;
                snd_pcm_poll_descriptors_revents(pcm, fds.data() + 1, unsigned(count - 1), &revents);
            }
        }
    }

    int Configure(snd_pcm_t* handle, const PcmFormat16& format)
    {
        snd_pcm_hw_params_t* hw = nullptr;
        snd_pcm_hw_params_alloca(&hw);
        unsigned bufferTime = kBufferMicroseconds;
        unsigned periodTime = kPeriodMicroseconds;
        if (snd_pcm_hw_params_any(handle, hw) < 0 || snd_pcm_hw_params_set_rate_resample(handle, hw, 1) < 0 ||
            snd_pcm_hw_params_set_access(handle, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
            snd_pcm_hw_params_set_format(handle, hw, SND_PCM_FORMAT_S16) < 0 ||
            snd_pcm_hw_params_set_channels(handle, hw, format.channels) < 0 ||
            snd_pcm_hw_params_set_rate(handle, hw, format.sampleRate, 0) < 0 ||
            snd_pcm_hw_params_set_buffer_time_near(handle, hw, &bufferTime, nullptr) < 0 ||
            snd_pcm_hw_params_set_period_time_near(handle, hw, &periodTime, nullptr) < 0 ||
            snd_pcm_hw_params(handle, hw) < 0)
            return 0;
        snd_pcm_uframes_t periodFrames = 0;
        if (snd_pcm_hw_params_get_buffer_size(hw, &bufferFrames) < 0 ||
            snd_pcm_hw_params_get_period_size(hw, &periodFrames, nullptr) < 0 || bufferFrames == 0)
            return 0;
        canPause = snd_pcm_hw_params_can_pause(hw) == 1;

        snd_pcm_sw_params_t* sw = nullptr;
        snd_pcm_sw_params_alloca(&sw);
        if (snd_pcm_sw_params_current(handle, sw) < 0 ||
            snd_pcm_sw_params_set_start_threshold(handle, sw, std::max<snd_pcm_uframes_t>(periodFrames, 1)) < 0 ||
            snd_pcm_sw_params_set_avail_min(handle, sw, std::max<snd_pcm_uframes_t>(periodFrames, 1)) < 0 ||
            snd_pcm_sw_params(handle, sw) < 0)
            return 0;
        const int descriptors = snd_pcm_poll_descriptors_count(handle);
        if (descriptors < 0 || size_t(descriptors) >= kMaxPollFds)
            return 0;
        if (snd_pcm_poll_descriptors(handle, pollFds.data() + 1, unsigned(descriptors)) != descriptors)
            return 0;
        pollFdCount = size_t(descriptors) + 1;
        // A second of sound beyond the buffer: a sound server may count its own latency in the delay.
        historyFrames = uint32_t(bufferFrames) + format.sampleRate;
        history.assign(size_t(historyFrames) * format.channels, 0);
        return 1;
    }
};

AlsaWaveOut::AlsaWaveOut() : AlsaWaveOut(Options{}) {}

AlsaWaveOut::AlsaWaveOut(Options options) : impl_(std::make_unique<Impl>())
{
    impl_->options = std::move(options);
    impl_->deviceName = ChosenDeviceName(impl_->options.deviceName);
}

AlsaWaveOut::~AlsaWaveOut()
{
    {
        std::lock_guard lock(impl_->mutex);
        impl_->quit = true;
        if (impl_->pcm) {
            snd_pcm_drop(impl_->pcm);
            snd_pcm_close(impl_->pcm);
            impl_->pcm = nullptr;
        }
    }
    if (impl_->thread.joinable()) {
        impl_->Wake();
        impl_->thread.join();
    }
    if (impl_->wakeFd >= 0)
        ::close(impl_->wakeFd);
}

const std::string& AlsaWaveOut::DeviceName() const { return impl_->deviceName; }

int AlsaWaveOut::Open(const PcmFormat16& format, WaveOutEventSink& sink)
{
    Impl& d = *impl_;
    std::lock_guard lock(d.mutex);
    if (d.pcm || (format.channels != 1 && format.channels != 2) || format.sampleRate == 0)
        return 0;
    if (d.wakeFd < 0) {
        d.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (d.wakeFd < 0)
            return 0;
    }
    SilenceAlsa();
    snd_pcm_t* handle = nullptr;
    if (snd_pcm_open(&handle, d.deviceName.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0)
        return 0;
    if (!d.Configure(handle, format)) {
        snd_pcm_close(handle);
        return 0;
    }
    if (!d.thread.joinable()) {
        try {
            d.thread = std::thread([&d] { d.Run(); });
        } catch (...) {
            snd_pcm_close(handle);
            return 0;
        }
    }
    d.pcm = handle;
    ++d.generation;
    d.sink = &sink;
    d.channels = format.channels;
    d.queueHead = d.queueCount = 0;
    d.frontFrames = 0;
    d.written = d.historyEnd = 0;
    d.tailFrames = 0;
    d.paused = d.devicePaused = d.closing = d.lost = false;
    d.Post(WaveOutEventKind::Opened);
    d.Wake();
    return 1;
}

int AlsaWaveOut::Write(WaveBlock& block)
{
    Impl& d = *impl_;
    std::lock_guard lock(d.mutex);
    if (!d.pcm || d.closing || d.lost || d.queueCount == Impl::kQueueCapacity || !block.data ||
        block.byteCount % (2 * d.channels) != 0)
        return 0;
    d.queue[(d.queueHead + d.queueCount) % Impl::kQueueCapacity] = &block;
    ++d.queueCount;
    d.Wake();
    return 1;
}

int AlsaWaveOut::Pause()
{
    Impl& d = *impl_;
    std::lock_guard lock(d.mutex);
    if (!d.pcm)
        return 0;
    if (d.paused || d.lost)
        return 1;
    d.paused = true;
    if (snd_pcm_state(d.pcm) == SND_PCM_STATE_RUNNING) {
        if (d.canPause && d.options.useDevicePause && snd_pcm_pause(d.pcm, 1) == 0)
            d.devicePaused = true;
        else
            d.DropKeepingTail();
    }
    d.Wake();
    return 1;
}

int AlsaWaveOut::Restart()
{
    Impl& d = *impl_;
    std::lock_guard lock(d.mutex);
    if (!d.pcm)
        return 0;
    if (d.devicePaused && snd_pcm_pause(d.pcm, 0) < 0) {
        // The device lost its paused state (suspended, or an underrun meanwhile): what it held is
        // gone; start it afresh.
        snd_pcm_drop(d.pcm);
        snd_pcm_prepare(d.pcm);
    }
    d.paused = d.devicePaused = false;
    d.Wake();
    return 1;
}

int AlsaWaveOut::Reset()
{
    Impl& d = *impl_;
    std::lock_guard lock(d.mutex);
    if (!d.pcm)
        return 0;
    if (!d.lost) {
        snd_pcm_drop(d.pcm);
        snd_pcm_prepare(d.pcm);
    }
    d.paused = d.devicePaused = false;
    d.written = 0;
    d.tailFrames = 0;
    d.HandBackAll();
    // A close that was playing out what ALSA held ends now.
    if (d.closing)
        d.FinishClose();
    d.Wake();
    return 1;
}

int AlsaWaveOut::Close()
{
    Impl& d = *impl_;
    std::lock_guard lock(d.mutex);
    if (!d.pcm || d.closing || d.queueCount > 0)
        return 0;
    d.closing = true;
    const snd_pcm_state_t state = d.lost ? SND_PCM_STATE_DISCONNECTED : snd_pcm_state(d.pcm);
    const bool holdsSound = d.tailFrames > 0 || state == SND_PCM_STATE_RUNNING || state == SND_PCM_STATE_PAUSED ||
                            (state == SND_PCM_STATE_PREPARED && d.Delay() > 0);
    if (!holdsSound)
        d.FinishClose();
    else
        d.Wake();
    return 1;
}

int AlsaWaveOut::GetPosition(uint32_t& frames) const
{
    const Impl& d = *impl_;
    std::lock_guard lock(d.mutex);
    if (!d.pcm)
        return 0;
    frames = uint32_t(d.written - (d.lost ? 0 : d.Delay()));
    return 1;
}

}  // namespace brindle
