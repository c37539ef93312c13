// A playback PCM for alsa-lib that behaves like a sound card without one: it takes frames into a ring
// of its buffer's size and consumes them at the configured rate by the monotonic clock, so the
// device layer meets a real buffer that fills, a delay that shrinks as time passes, underruns when
// it is starved, and (when asked) a card that vanishes mid-play. It records what it consumed and
// counts it, for the tests to compare with what the engine reports. On request every write first
// stalls (a sound server that has stopped answering) and a close takes its time.
//
// Configuration (the tests write it; alsa-lib loads this module by its path):
//   pcm_type.brindle_paced { lib "/path/to/this.so" }
//   pcm.paced { type brindle_paced  pause true  record true }
// "pause false" makes a card that cannot pause; "record false" keeps only the count (for an hour).
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// What the tests read and steer, shared by every PCM this module opens (the tests open one at a time).
struct Shared {
    std::mutex mutex;
    uint64_t playedFrames = 0;  // consumed since the last brindle_paced_reset
    uint64_t underruns = 0;
    std::vector<int16_t> recording;
    bool disconnectRequested = false;
    bool underrunRequested = false;
    unsigned writeStallMs = 0;
    unsigned closeDelayMs = 0;
};

Shared& Global()
{
    static Shared shared;
    return shared;
}

uint64_t NowNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

struct Paced {
    snd_pcm_ioplug_t io{};
    bool record = true;
    int timerFd = -1;

    std::vector<int16_t> ring;  // buffer_size frames
    uint64_t taken = 0;         // frames taken since the last prepare
    uint64_t consumed = 0;      // frames consumed since the last prepare
    bool running = false;
    bool paused = false;
    bool disconnected = false;
    bool ranDry = false;        // until the next prepare, as a card's XRUN state
    uint64_t anchorTime = 0;    // when consumption last (re)started
    uint64_t anchorFrames = 0;  // consumed at that moment

    unsigned Channels() const { return io.channels; }
    uint64_t BufferFrames() const { return io.buffer_size; }

    // Moves the frames that have sounded by now (at most those taken) into the record. Returns false
    // when the card ran dry (an underrun), as hardware does.
    bool Advance(Shared& shared)
    {
        if (!running || paused)
            return true;
        uint64_t target = anchorFrames + (NowNanoseconds() - anchorTime) * io.rate / 1000000000u;
        bool dry = target > taken;
        if (shared.underrunRequested) {
            shared.underrunRequested = false;
            dry = true;
        }
        if (dry)
            target = taken;
        const uint64_t from = consumed;
        for (uint64_t frame = from; frame < target;) {
            const uint64_t at = frame % BufferFrames();
            const uint64_t piece = std::min(target - frame, BufferFrames() - at);
            if (record) {
                const int16_t* begin = &ring[size_t(at) * Channels()];
                shared.recording.insert(shared.recording.end(), begin, begin + size_t(piece) * Channels());
            }
            frame += piece;
        }
        shared.playedFrames += target - from;
        consumed = target;
        if (dry) {
            ++shared.underruns;
            running = false;
            ranDry = true;
        }
        return !dry;
    }

    bool CheckConnected(Shared& shared)
    {
        if (shared.disconnectRequested && !disconnected) {
            shared.disconnectRequested = false;
            disconnected = true;
        }
        if (disconnected)
            snd_pcm_ioplug_set_state(&io, SND_PCM_STATE_DISCONNECTED);
        return !disconnected;
    }
};

Paced& Of(snd_pcm_ioplug_t* io) { return *static_cast<Paced*>(io->private_data); }

int Start(snd_pcm_ioplug_t* io)
{
    Paced& p = Of(io);
    std::lock_guard lock(Global().mutex);
    if (!p.CheckConnected(Global()))
        return -ENODEV;
    p.running = true;
    p.paused = false;
    p.anchorTime = NowNanoseconds();
    p.anchorFrames = p.consumed;
    return 0;
}

int Stop(snd_pcm_ioplug_t* io)
{
    Paced& p = Of(io);
    std::lock_guard lock(Global().mutex);
    p.Advance(Global());
    // Whatever had not sounded is thrown away, as a card's drop does.
    p.running = false;
    p.paused = false;
    p.taken = p.consumed;
    return 0;
}

int Prepare(snd_pcm_ioplug_t* io)
{
    Paced& p = Of(io);
    std::lock_guard lock(Global().mutex);
    p.taken = p.consumed = 0;
    p.running = p.paused = p.ranDry = false;
    p.ring.assign(size_t(p.BufferFrames()) * p.Channels(), 0);
    return p.CheckConnected(Global()) ? 0 : -ENODEV;
}

snd_pcm_sframes_t Pointer(snd_pcm_ioplug_t* io)
{
    Paced& p = Of(io);
    std::lock_guard lock(Global().mutex);
    if (!p.CheckConnected(Global()))
        return snd_pcm_sframes_t(p.consumed);
    p.Advance(Global());
    // Noticed here or at a poll: either way alsa-lib learns of it through the pointer.
    if (p.ranDry)
        return -EPIPE;
    return snd_pcm_sframes_t(p.consumed);
}

snd_pcm_sframes_t Transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset,
                           snd_pcm_uframes_t size)
{
    Paced& p = Of(io);
    unsigned stallMs = 0;
    {
        std::lock_guard lock(Global().mutex);
        stallMs = Global().writeStallMs;
    }
    // Before the samples are read, as a stalled server would hold the writer: whatever the writer
    // handed over must still be there afterwards.
    if (stallMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(stallMs));
    std::lock_guard lock(Global().mutex);
    if (!p.CheckConnected(Global()))
        return -ENODEV;
    // Interleaved: the first area addresses every channel.
    const auto* from = reinterpret_cast<const int16_t*>(static_cast<const char*>(areas[0].addr) +
                                                        (areas[0].first + offset * areas[0].step) / 8);
    for (snd_pcm_uframes_t done = 0; done < size;) {
        const uint64_t at = (p.taken + done) % p.BufferFrames();
        const uint64_t piece = std::min<uint64_t>(size - done, p.BufferFrames() - at);
        std::memcpy(&p.ring[size_t(at) * p.Channels()], from + size_t(done) * p.Channels(),
                    size_t(piece) * p.Channels() * sizeof(int16_t));
        done += snd_pcm_uframes_t(piece);
    }
    p.taken += size;
    return snd_pcm_sframes_t(size);
}

int Pause(snd_pcm_ioplug_t* io, int enable)
{
    Paced& p = Of(io);
    std::lock_guard lock(Global().mutex);
    p.Advance(Global());
    p.paused = enable != 0;
    p.anchorTime = NowNanoseconds();
    p.anchorFrames = p.consumed;
    return 0;
}

int PollRevents(snd_pcm_ioplug_t* io, struct pollfd* fds, unsigned int count, unsigned short* revents)
{
    Paced& p = Of(io);
    if (count > 0 && (fds[0].revents & POLLIN)) {
        uint64_t ticks = 0;
        [[maybe_unused]] const ssize_t ignored = ::read(p.timerFd, &ticks, sizeof ticks);
    }
    std::lock_guard lock(Global().mutex);
    if (!p.CheckConnected(Global())) {
        *revents = POLLERR;
        return 0;
    }
    p.Advance(Global());
    if (p.ranDry)
        *revents = POLLOUT | POLLERR;
    else
        *revents = p.BufferFrames() - (p.taken - p.consumed) >= io->period_size ? POLLOUT : 0;
    return 0;
}

int Close(snd_pcm_ioplug_t* io)
{
    unsigned delayMs = 0;
    {
        std::lock_guard lock(Global().mutex);
        delayMs = Global().closeDelayMs;
    }
    if (delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    Paced* p = &Of(io);
    if (p->timerFd >= 0)
        ::close(p->timerFd);
    delete p;
    return 0;
}

const snd_pcm_ioplug_callback_t kWithPause = [] {
    snd_pcm_ioplug_callback_t callbacks{};
    callbacks.start = Start;
    callbacks.stop = Stop;
    callbacks.pointer = Pointer;
    callbacks.transfer = Transfer;
    callbacks.close = Close;
    callbacks.prepare = Prepare;
    callbacks.pause = Pause;
    callbacks.poll_revents = PollRevents;
    return callbacks;
}();

const snd_pcm_ioplug_callback_t kWithoutPause = [] {
    snd_pcm_ioplug_callback_t callbacks = kWithPause;
    callbacks.pause = nullptr;
    return callbacks;
}();

}  // namespace

extern "C" {

// For the tests, which dlopen this module themselves and find these by name.
void brindle_paced_reset()
{
    std::lock_guard lock(Global().mutex);
    Global().playedFrames = 0;
    Global().underruns = 0;
    Global().recording.clear();
    Global().disconnectRequested = Global().underrunRequested = false;
    Global().writeStallMs = Global().closeDelayMs = 0;
}

// Every write from now on waits ms before it takes anything; 0 ends the stall.
void brindle_paced_stall_writes(unsigned ms)
{
    std::lock_guard lock(Global().mutex);
    Global().writeStallMs = ms;
}

// Every close from now on takes ms.
void brindle_paced_delay_close(unsigned ms)
{
    std::lock_guard lock(Global().mutex);
    Global().closeDelayMs = ms;
}

uint64_t brindle_paced_played_frames()
{
    std::lock_guard lock(Global().mutex);
    return Global().playedFrames;
}

uint64_t brindle_paced_underruns()
{
    std::lock_guard lock(Global().mutex);
    return Global().underruns;
}

// Copies up to capacity recorded samples to out; returns how many there are in all.
size_t brindle_paced_recording(int16_t* out, size_t capacity)
{
    std::lock_guard lock(Global().mutex);
    const auto& recording = Global().recording;
    std::copy_n(recording.begin(), std::min(capacity, recording.size()), out);
    return recording.size();
}

void brindle_paced_disconnect()
{
    std::lock_guard lock(Global().mutex);
    Global().disconnectRequested = true;
}

void brindle_paced_underrun()
{
    std::lock_guard lock(Global().mutex);
    Global().underrunRequested = true;
}

SND_PCM_PLUGIN_DEFINE_FUNC(brindle_paced)
{
    (void)root;
    bool canPause = true;
    bool record = true;
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf)
    {
        snd_config_t* node = snd_config_iterator_entry(i);
        const char* id = nullptr;
        if (snd_config_get_id(node, &id) < 0)
            continue;
        if (!std::strcmp(id, "comment") || !std::strcmp(id, "type") || !std::strcmp(id, "hint"))
            continue;
        if (!std::strcmp(id, "pause") || !std::strcmp(id, "record")) {
            const int value = snd_config_get_bool(node);
            if (value < 0)
                return -EINVAL;
            (!std::strcmp(id, "pause") ? canPause : record) = value != 0;
            continue;
        }
        return -EINVAL;
    }
    if (stream != SND_PCM_STREAM_PLAYBACK)
        return -EINVAL;

    auto* p = new Paced;
    p->record = record;
    p->io.private_data = p;
    p->timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    const itimerspec every5ms{{0, 5000000}, {0, 5000000}};
    if (p->timerFd < 0 || ::timerfd_settime(p->timerFd, 0, &every5ms, nullptr) < 0) {
        const int error = errno;
        Close(&p->io);
        return -error;
    }
    p->io.version = SND_PCM_IOPLUG_VERSION;
    p->io.name = "brindle paced test card";
    p->io.callback = canPause ? &kWithPause : &kWithoutPause;
    // The pointer is the count consumed since the last prepare, not a place in the ring: a whole
    // buffer consumed between two looks must not read as none.
    p->io.flags = SND_PCM_IOPLUG_FLAG_BOUNDARY_WA;
    p->io.poll_fd = p->timerFd;
    p->io.poll_events = POLLIN;
    p->io.mmap_rw = 0;
    int err = snd_pcm_ioplug_create(&p->io, name, stream, mode);
    if (err < 0) {
        ::close(p->timerFd);
        delete p;
        return err;
    }
    const unsigned accesses[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
    const unsigned formats[] = {SND_PCM_FORMAT_S16};
    if ((err = snd_pcm_ioplug_set_param_list(&p->io, SND_PCM_IOPLUG_HW_ACCESS, 1, accesses)) < 0 ||
        (err = snd_pcm_ioplug_set_param_list(&p->io, SND_PCM_IOPLUG_HW_FORMAT, 1, formats)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_CHANNELS, 1, 2)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_RATE, 8000, 192000)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 64, 1 << 20)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_PERIODS, 2, 64)) < 0) {
        snd_pcm_ioplug_delete(&p->io);
        return err;
    }
    *pcmp = p->io.pcm;
    return 0;
}

SND_PCM_PLUGIN_SYMBOL(brindle_paced)

}  // extern "C"
