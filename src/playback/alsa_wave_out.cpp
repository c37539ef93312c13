#include "playback/alsa_wave_out.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace brindle {
namespace {

using Clock = std::chrono::steady_clock;

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
// How often the thread looks at the card's delay while it plays, so the position the window reads
// between two looks is never extrapolated far.
constexpr int kLookMs = 20;
// How long the destructor waits for the thread. A device whose write never returns (a stalled sound
// server) must not keep the program from ending.
constexpr auto kQuitWait = std::chrono::milliseconds(300);

}  // namespace

// Two threads share this: the caller's (the UI thread) and the device thread. Only the device thread
// calls ALSA once a PCM is open, and it never holds the mutex while it does: a write into a device
// that takes its time (a stalled sound server, a network sink) then holds up nobody but that thread.
// The caller's operations only queue requests and read what the thread last saw.
struct AlsaWaveOut::Impl {
    Options options;
    std::string deviceName;
    std::string openFailure;  // why the last Open failed; empty after one that succeeded

    mutable std::mutex mutex;
    std::condition_variable threadEnded;
    std::thread thread;
    int wakeFd = -1;

    // Guarded by mutex.
    bool quit = false;
    bool abandoned = false;  // the destructor gave up waiting: the thread must not touch ALSA again
    bool threadDone = false;
    snd_pcm_t* pcm = nullptr;  // set by Open; closed and cleared by the thread
    WaveOutEventSink* sink = nullptr;
    unsigned channels = 0;
    unsigned rate = 0;

    // Every block is copied at Write, so the caller's memory is never read after Write returns: a
    // window that closes while the thread is stuck in a write frees nothing under it.
    struct Slot {
        std::vector<int16_t> samples;
        uint32_t frames = 0;
        WaveBlock* block = nullptr;  // the caller's block, named again in its "done"
        bool inUse = false;
    };
    static constexpr size_t kQueueCapacity = 8;
    std::array<Slot, kQueueCapacity> slots;
    std::array<size_t, kQueueCapacity> queue{};  // slot indices, oldest first
    size_t queueHead = 0;
    size_t queueCount = 0;
    uint32_t frontFrames = 0;  // frames of the front block already written
    int writingSlot = -1;      // the slot the thread is writing from with the mutex released

    bool wantPaused = false;
    bool resetPending = false;
    unsigned epoch = 0;     // counts resets, so a write that spans one is not counted
    bool closing = false;   // play out what ALSA holds, then close
    bool finishing = false; // the thread is closing the PCM for good
    bool lost = false;

    // The position as the thread last saw it: frames sounded and written then, and whether the card
    // was consuming. Between looks the caller extrapolates by the clock, never past what was written.
    uint64_t seenPlayed = 0;
    uint64_t seenWritten = 0;
    bool seenRunning = false;
    Clock::time_point seenAt;

    // The thread's own, touched by Open only while no PCM is open.
    static constexpr size_t kMaxPollFds = 16;
    std::array<pollfd, kMaxPollFds> pollFds{};  // [0] the wake descriptor, then the PCM's
    size_t pollFdCount = 1;
    snd_pcm_uframes_t bufferFrames = 0;
    bool canPause = false;
    uint64_t written = 0;  // frames written since the open or the last reset, less frames dropped
    bool appliedPaused = false;
    bool devicePaused = false;  // paused with snd_pcm_pause
    // The frames most recently written, so that a pause by dropping can write again what had not sounded.
    std::vector<int16_t> history;
    uint32_t historyFrames = 0;  // capacity in frames
    uint64_t historyEnd = 0;     // frames ever appended; the ring holds the last historyFrames of them
    uint32_t tailFrames = 0;     // frames before historyEnd to write again before the queue goes on

    void Wake() const
    {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(wakeFd, &one, sizeof one);
    }

    // Under mutex.
    void Post(WaveOutEventKind kind, WaveBlock* block = nullptr)
    {
        if (sink)
            sink->Post({kind, block});
    }

    // Under mutex: every queued block goes back, in order.
    void HandBackAll()
    {
        while (queueCount > 0) {
            Slot& slot = slots[queue[queueHead]];
            queueHead = (queueHead + 1) % kQueueCapacity;
            --queueCount;
            slot.inUse = false;
            Post(WaveOutEventKind::BlockDone, slot.block);
        }
        frontFrames = 0;
    }

    // Under mutex: the position as of now.
    uint64_t PlayedNow() const
    {
        uint64_t played = seenPlayed;
        if (seenRunning && !wantPaused && !resetPending) {
            const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - seenAt).count();
            played += uint64_t(std::max<int64_t>(elapsed, 0)) * rate / 1000000u;
        }
        return std::min(played, seenWritten);
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

    // Thread, mutex released.
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

    // Thread: a fresh look at the card, published unless a reset came meanwhile.
    void Look(std::unique_lock<std::mutex>& lock)
    {
        if (quit)
            return;
        const unsigned lookedEpoch = epoch;
        const bool gone = lost;
        lock.unlock();
        const uint64_t delay = gone ? 0 : Delay();
        const bool running = !gone && snd_pcm_state(pcm) == SND_PCM_STATE_RUNNING;
        const Clock::time_point at = Clock::now();
        lock.lock();
        if (epoch != lookedEpoch || resetPending)
            return;
        seenPlayed = written - delay;
        seenWritten = written;
        seenRunning = running && !appliedPaused;
        seenAt = at;
    }

    // Thread, mutex released: stops the output, keeping what had not sounded to be written again.
    void DropKeepingTail()
    {
        const uint64_t unplayed = Delay();
        snd_pcm_drop(pcm);
        snd_pcm_prepare(pcm);
        written -= unplayed;
        const uint64_t kept = std::min<uint64_t>(historyEnd, historyFrames);
        tailFrames = uint32_t(std::min<uint64_t>(tailFrames + unplayed, kept));
    }

    void ApplyReset(std::unique_lock<std::mutex>& lock)
    {
        resetPending = false;
        const bool gone = lost;
        lock.unlock();
        if (!gone) {
            snd_pcm_drop(pcm);
            snd_pcm_prepare(pcm);
        }
        written = 0;
        tailFrames = 0;
        appliedPaused = devicePaused = false;
        lock.lock();
    }

    void ApplyPause(std::unique_lock<std::mutex>& lock)
    {
        const bool pause = wantPaused;
        const bool gone = lost;
        lock.unlock();
        if (pause && !gone && snd_pcm_state(pcm) == SND_PCM_STATE_RUNNING) {
            if (canPause && options.useDevicePause && snd_pcm_pause(pcm, 1) == 0)
                devicePaused = true;
            else
                DropKeepingTail();
        } else if (!pause && devicePaused && snd_pcm_pause(pcm, 0) < 0) {
            // The device lost its paused state (suspended, or an underrun meanwhile): what it held is
            // gone; start it afresh.
            snd_pcm_drop(pcm);
            snd_pcm_prepare(pcm);
        }
        if (!pause)
            devicePaused = false;
        appliedPaused = pause;
        lock.lock();
    }

    // Thread: writes what fits without waiting. 1 when it wrote (or recovered, or a reset came
    // meanwhile), 0 when ALSA is full, -1 when the device is gone.
    int WriteSome(std::unique_lock<std::mutex>& lock)
    {
        const int16_t* from = nullptr;
        uint32_t frames = 0;
        const bool fromTail = tailFrames > 0;
        if (fromTail) {
            const uint64_t first = historyEnd - tailFrames;
            const uint32_t at = uint32_t(first % historyFrames);
            from = &history[size_t(at) * channels];
            frames = std::min(tailFrames, historyFrames - at);
        } else {
            writingSlot = int(queue[queueHead]);
            const Slot& front = slots[size_t(writingSlot)];
            from = front.samples.data() + size_t(frontFrames) * channels;
            frames = front.frames - frontFrames;
        }
        const unsigned writeEpoch = epoch;
        lock.unlock();
        snd_pcm_sframes_t result = frames == 0 ? 0 : snd_pcm_writei(pcm, from, frames);
        bool recovered = false;
        if (result < 0 && result != -EAGAIN && (result == -EPIPE || result == -ESTRPIPE || result == -EINTR))
            recovered = snd_pcm_recover(pcm, int(result), 1) == 0;
        lock.lock();
        writingSlot = -1;
        if (epoch != writeEpoch)
            return 1;  // what was written is dropped by the reset that waits
        if (result == -EAGAIN)
            return 0;
        if (result < 0) {
            if (recovered)
                return 1;
            // Unplugged, or the sound server went away: nothing more will play. The blocks go back,
            // and the engine's Close then succeeds at once.
            lost = true;
            tailFrames = 0;
            HandBackAll();
            return -1;
        }
        written += uint64_t(result);
        if (fromTail) {
            tailFrames -= uint32_t(result);
            return 1;
        }
        Remember(from, uint32_t(result));
        frontFrames += uint32_t(result);
        Slot& front = slots[queue[queueHead]];
        if (frontFrames == front.frames) {
            queueHead = (queueHead + 1) % kQueueCapacity;
            --queueCount;
            frontFrames = 0;
            front.inUse = false;
            Post(WaveOutEventKind::BlockDone, front.block);
        }
        return 1;
    }

    // Thread, mutex released: true once everything written has sounded.
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

    // Thread: drops and closes the PCM with the mutex released.
    void ClosePcm(std::unique_lock<std::mutex>& lock)
    {
        snd_pcm_t* handle = pcm;
        lock.unlock();
        snd_pcm_drop(handle);
        snd_pcm_close(handle);
        lock.lock();
        pcm = nullptr;
    }

    void FinishClose(std::unique_lock<std::mutex>& lock)
    {
        finishing = true;
        ClosePcm(lock);
        closing = finishing = lost = false;
        tailFrames = 0;
        appliedPaused = devicePaused = false;
        seenRunning = false;
        Post(WaveOutEventKind::Closed);
        sink = nullptr;
    }

    // Thread: sleeps until woken, the device has room (waitForDevice) or timeoutMs passes.
    void Wait(std::unique_lock<std::mutex>& lock, bool waitForDevice, int timeoutMs)
    {
        std::array<pollfd, kMaxPollFds> fds = pollFds;
        const nfds_t count = waitForDevice ? nfds_t(pollFdCount) : 1;
        fds[0] = {wakeFd, POLLIN, 0};
        snd_pcm_t* handle = pcm;
        lock.unlock();
        ::poll(fds.data(), count, timeoutMs);
        if (fds[0].revents & POLLIN) {
            uint64_t value = 0;
            [[maybe_unused]] const ssize_t ignored = ::read(wakeFd, &value, sizeof value);
        }
        if (waitForDevice && handle) {
            unsigned short revents = 0;
            snd_pcm_poll_descriptors_revents(handle, fds.data() + 1, unsigned(count - 1), &revents);
        }
        lock.lock();
    }

    void Run()
    {
        std::unique_lock lock(mutex);
        while (!quit) {
            if (!pcm) {
                Wait(lock, false, -1);
                continue;
            }
            if (resetPending) {
                ApplyReset(lock);
                continue;
            }
            if (wantPaused != appliedPaused) {
                ApplyPause(lock);
                Look(lock);
                continue;
            }
            if (!lost && !appliedPaused && (tailFrames > 0 || queueCount > 0)) {
                const int wrote = WriteSome(lock);
                if (wrote != 0) {
                    Look(lock);
                    continue;
                }
                Look(lock);
                Wait(lock, true, kLookMs);
                continue;
            }
            // A paused device plays out nothing until it goes on; a lost one has nothing to play out.
            if (closing && (lost || !appliedPaused)) {
                bool done = lost;
                if (!done) {
                    lock.unlock();
                    done = Drained();
                    lock.lock();
                }
                if (done && closing && !resetPending && queueCount == 0) {
                    FinishClose(lock);
                    continue;
                }
                Look(lock);
                Wait(lock, false, kDrainPollMs);
                continue;
            }
            Look(lock);
            Wait(lock, false, appliedPaused || lost ? -1 : kLookMs);
        }
        if (pcm && !abandoned)
            ClosePcm(lock);
        threadDone = true;
        threadEnded.notify_all();
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
    Impl& d = *impl_;
    if (d.thread.joinable()) {
        std::unique_lock lock(d.mutex);
        d.quit = true;
        d.sink = nullptr;  // nothing more reaches the window, whatever the thread is doing
        d.Wake();
        if (!d.threadEnded.wait_for(lock, kQuitWait, [&d] { return d.threadDone; })) {
            d.abandoned = true;
            lock.unlock();
            d.thread.detach();
            // Kept reachable until the process ends: that thread may still come back from its
            // write and look at it.
            static std::mutex abandonedMutex;
            static auto* abandonedDevices = new std::vector<std::unique_ptr<Impl>>;
            std::lock_guard keep(abandonedMutex);
            abandonedDevices->push_back(std::move(impl_));
            return;
        }
        lock.unlock();
        d.thread.join();
    }
    if (d.pcm) {
        snd_pcm_drop(d.pcm);
        snd_pcm_close(d.pcm);
    }
    if (d.wakeFd >= 0)
        ::close(d.wakeFd);
}

const std::string& AlsaWaveOut::DeviceName() const { return impl_->deviceName; }

std::string AlsaWaveOut::OpenFailure() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->openFailure;
}

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
    if (const int error = snd_pcm_open(&handle, d.deviceName.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
        error < 0) {
        d.openFailure = d.deviceName + ": " + snd_strerror(error);
        return 0;
    }
    if (!d.Configure(handle, format)) {
        snd_pcm_close(handle);
        d.openFailure = d.deviceName + ": 16-bit PCM at " + std::to_string(format.sampleRate) + " Hz refused";
        return 0;
    }
    d.openFailure.clear();
    if (!d.thread.joinable()) {
        try {
            d.thread = std::thread([&d] { d.Run(); });
        } catch (...) {
            snd_pcm_close(handle);
            return 0;
        }
    }
    d.pcm = handle;
    d.sink = &sink;
    d.channels = format.channels;
    d.rate = format.sampleRate;
    for (Impl::Slot& slot : d.slots)
        slot.inUse = false;
    d.queueHead = d.queueCount = 0;
    d.frontFrames = 0;
    d.written = d.historyEnd = 0;
    d.tailFrames = 0;
    d.wantPaused = d.appliedPaused = d.devicePaused = false;
    d.resetPending = d.closing = d.finishing = d.lost = false;
    d.seenPlayed = d.seenWritten = 0;
    d.seenRunning = false;
    d.seenAt = Clock::now();
    d.Post(WaveOutEventKind::Opened);
    d.Wake();
    return 1;
}

int AlsaWaveOut::Write(WaveBlock& block)
{
    Impl& d = *impl_;
    std::lock_guard lock(d.mutex);
    if (!d.pcm || d.closing || d.finishing || d.lost || d.queueCount == Impl::kQueueCapacity || !block.data ||
        block.byteCount % (2 * d.channels) != 0)
        return 0;
    size_t free = 0;
    while (free < Impl::kQueueCapacity && (d.slots[free].inUse || int(free) == d.writingSlot))
        ++free;
    if (free == Impl::kQueueCapacity)
        return 0;
    Impl::Slot& slot = d.slots[free];
    slot.samples.assign(block.data, block.data + block.byteCount / 2);
    slot.frames = block.byteCount / (2 * d.channels);
    slot.block = &block;
    slot.inUse = true;
    d.queue[(d.queueHead + d.queueCount) % Impl::kQueueCapacity] = free;
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
    if (d.wantPaused || d.lost)
        return 1;
    // Held from now on as far as the caller can tell, whenever the thread gets to the card.
    d.seenPlayed = d.PlayedNow();
    d.seenRunning = false;
    d.seenAt = Clock::now();
    d.wantPaused = true;
    d.Wake();
    return 1;
}

int AlsaWaveOut::Restart()
{
    Impl& d = *impl_;
    std::lock_guard lock(d.mutex);
    if (!d.pcm)
        return 0;
    d.wantPaused = false;
    d.Wake();
    return 1;
}

int AlsaWaveOut::Reset()
{
    Impl& d = *impl_;
    std::lock_guard lock(d.mutex);
    if (!d.pcm)
        return 0;
    d.HandBackAll();
    d.resetPending = true;
    ++d.epoch;
    d.wantPaused = false;
    // A close that was playing out what ALSA held gives way: the caller means to play on from
    // elsewhere, or to close again at once.
    if (!d.finishing)
        d.closing = false;
    d.seenPlayed = d.seenWritten = 0;
    d.seenRunning = false;
    d.seenAt = Clock::now();
    d.Wake();
    return 1;
}

int AlsaWaveOut::Close()
{
    Impl& d = *impl_;
    std::lock_guard lock(d.mutex);
    if (!d.pcm || d.closing || d.finishing || d.queueCount > 0)
        return 0;
    d.closing = true;
    d.Wake();
    return 1;
}

int AlsaWaveOut::GetPosition(uint32_t& frames) const
{
    const Impl& d = *impl_;
    std::lock_guard lock(d.mutex);
    if (!d.pcm)
        return 0;
    frames = uint32_t(d.PlayedNow());
    return 1;
}

}  // namespace brindle
