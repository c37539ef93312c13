// A playback PCM for alsa-lib that behaves like a sound card without one: it takes frames into a ring
// of its buffer's size and consumes them at the configured rate by the monotonic clock, so the device
// layer meets a buffer that fills, a delay that shrinks as time passes, underruns when it is starved,
// and (on request) a card that vanishes mid-play, writes that stall and a slow close. It records and
// counts what it consumed, for the tests to compare with what the engine reports.
//   pcm_type.brindle_paced { lib "/path/to/this.so" }
//   pcm.paced { type brindle_paced  pause true }   ("pause false": a card that cannot pause)
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

struct Paced;

// What the tests read and steer, shared by every PCM this module opens (the tests open one at a time).
struct Shared {
    Paced* open = nullptr;  // the PCM open now, if any
    std::mutex mutex;
    uint64_t playedFrames = 0;  // consumed since the last brindle_paced_reset
    uint64_t underruns = 0;
    std::vector<int16_t> recording;
    bool disconnectRequested = false;
    bool underrunRequested = false;
    std::atomic<unsigned> writeStallMs = 0, closeDelayMs = 0;
} shared;

uint64_t NowNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

struct Paced {
    snd_pcm_ioplug_t io{};
    int timerFd = -1;
    std::vector<int16_t> ring;  // buffer_size frames
    uint64_t taken = 0;         // frames taken since the last prepare
    uint64_t consumed = 0;      // frames consumed since the last prepare
    bool running = false, paused = false, disconnected = false;
    bool ranDry = false;        // until the next prepare, as a card's XRUN state
    uint64_t anchorTime = 0;    // when consumption last (re)started
    uint64_t anchorFrames = 0;  // consumed at that moment

    void Anchor() { anchorTime = NowNanoseconds(), anchorFrames = consumed; }

    // Moves the frames that have sounded by now (at most those taken) into the record; an underrun
    // when the card ran dry, as hardware does.
    void Advance()
    {
        if (!running || paused)
            return;
        uint64_t target = anchorFrames + (NowNanoseconds() - anchorTime) * io.rate / 1000000000u;
        const bool dry = target > taken || shared.underrunRequested;
        shared.underrunRequested = false;
        target = dry ? taken : target;
        for (uint64_t frame = consumed; frame < target;) {
            const uint64_t at = frame % io.buffer_size, piece = std::min(target - frame, io.buffer_size - at);
            const int16_t* begin = &ring[size_t(at) * io.channels];
            shared.recording.insert(shared.recording.end(), begin, begin + size_t(piece) * io.channels);
            frame += piece;
        }
        shared.playedFrames += target - consumed;
        consumed = target;
        if (dry) {
            ++shared.underruns;
            running = false;
            ranDry = true;
        }
    }
    bool CheckConnected()
    {
        disconnected = disconnected || std::exchange(shared.disconnectRequested, false);
        if (disconnected)
            snd_pcm_ioplug_set_state(&io, SND_PCM_STATE_DISCONNECTED);
        return !disconnected;
    }
};

Paced& Of(snd_pcm_ioplug_t* io) { return *static_cast<Paced*>(io->private_data); }

int Start(snd_pcm_ioplug_t* io)
{
    Paced& p = Of(io);
    std::lock_guard lock(shared.mutex);
    if (!p.CheckConnected())
        return -ENODEV;
    p.running = true;
    p.paused = false;
    p.Anchor();
    return 0;
}

int Stop(snd_pcm_ioplug_t* io)
{
    Paced& p = Of(io);
    std::lock_guard lock(shared.mutex);
    p.Advance();
    // Whatever had not sounded is thrown away, as a card's drop does.
    p.running = p.paused = false;
    p.taken = p.consumed;
    return 0;
}

int Prepare(snd_pcm_ioplug_t* io)
{
    Paced& p = Of(io);
    std::lock_guard lock(shared.mutex);
    p.taken = p.consumed = 0;
    p.running = p.paused = p.ranDry = false;
    p.ring.assign(size_t(io->buffer_size) * io->channels, 0);
    return p.CheckConnected() ? 0 : -ENODEV;
}

snd_pcm_sframes_t Pointer(snd_pcm_ioplug_t* io)
{
    Paced& p = Of(io);
    std::lock_guard lock(shared.mutex);
    if (!p.CheckConnected())
        return snd_pcm_sframes_t(p.consumed);
    p.Advance();
    // Noticed here or at a poll: either way alsa-lib learns of it through the pointer.
    return p.ranDry ? -EPIPE : snd_pcm_sframes_t(p.consumed);
}

snd_pcm_sframes_t Transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset,
                           snd_pcm_uframes_t size)
{
    Paced& p = Of(io);
    // Before the samples are read, as a stalled server holds the writer: whatever the writer handed
    // over must still be there afterwards.
    std::this_thread::sleep_for(std::chrono::milliseconds(shared.writeStallMs.load()));
    std::lock_guard lock(shared.mutex);
    if (!p.CheckConnected())
        return -ENODEV;
    // Interleaved: the first area addresses every channel.
    const auto* from = reinterpret_cast<const int16_t*>(static_cast<const char*>(areas[0].addr) +
                                                        (areas[0].first + offset * areas[0].step) / 8);
    for (snd_pcm_uframes_t done = 0; done < size;) {
        const uint64_t at = (p.taken + done) % io->buffer_size, piece = std::min(size - done, io->buffer_size - at);
        std::memcpy(&p.ring[size_t(at) * io->channels], from + size_t(done) * io->channels,
                    size_t(piece) * io->channels * sizeof(int16_t));
        done += snd_pcm_uframes_t(piece);
    }
    p.taken += size;
    return snd_pcm_sframes_t(size);
}

int Pause(snd_pcm_ioplug_t* io, int enable)
{
    Paced& p = Of(io);
    std::lock_guard lock(shared.mutex);
    p.Advance();
    p.paused = enable != 0;
    p.Anchor();
    return 0;
}

int PollRevents(snd_pcm_ioplug_t* io, struct pollfd* fds, unsigned int count, unsigned short* revents)
{
    Paced& p = Of(io);
    if (count > 0 && (fds[0].revents & POLLIN)) {
        uint64_t ticks = 0;
        [[maybe_unused]] const ssize_t ignored = ::read(p.timerFd, &ticks, sizeof ticks);
    }
    std::lock_guard lock(shared.mutex);
    if (!p.CheckConnected()) {
        *revents = POLLERR;
        return 0;
    }
    p.Advance();
    if (p.ranDry)
        *revents = POLLOUT | POLLERR;
    else
        *revents = io->buffer_size - (p.taken - p.consumed) >= io->period_size ? POLLOUT : 0;
    return 0;
}

int Close(snd_pcm_ioplug_t* io)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(shared.closeDelayMs.load()));
    if (Of(io).timerFd >= 0)
        ::close(Of(io).timerFd);
    std::lock_guard lock(shared.mutex);
    if (shared.open == &Of(io))
        shared.open = nullptr;
    delete &Of(io);
    return 0;
}

snd_pcm_ioplug_callback_t Callbacks(bool canPause)
{
    snd_pcm_ioplug_callback_t callbacks{};
    callbacks.start = Start;
    callbacks.stop = Stop;
    callbacks.pointer = Pointer;
    callbacks.transfer = Transfer;
    callbacks.close = Close;
    callbacks.prepare = Prepare;
    callbacks.pause = canPause ? Pause : nullptr;
    callbacks.poll_revents = PollRevents;
    return callbacks;
}
const snd_pcm_ioplug_callback_t kWithPause = Callbacks(true), kWithoutPause = Callbacks(false);

}  // namespace

extern "C" {

// For the tests, which dlopen this module themselves and find these by name.
void brindle_paced_reset()
{
    std::lock_guard lock(shared.mutex);
    shared.playedFrames = shared.underruns = 0;
    shared.recording.clear();
    shared.disconnectRequested = shared.underrunRequested = false;
    shared.writeStallMs = shared.closeDelayMs = 0;
}
// Every write from now on waits ms before it takes anything (0: none); every close takes ms.
void brindle_paced_stall_writes(unsigned ms) { shared.writeStallMs = ms; }
void brindle_paced_delay_close(unsigned ms) { shared.closeDelayMs = ms; }
void brindle_paced_disconnect() { std::lock_guard lock(shared.mutex); shared.disconnectRequested = true; }
void brindle_paced_underrun() { std::lock_guard lock(shared.mutex); shared.underrunRequested = true; }
// Up to now: the card plays on whether or not anyone looks at it, as hardware does.
uint64_t brindle_paced_played_frames()
{
    std::lock_guard lock(shared.mutex);
    if (shared.open)
        shared.open->Advance();
    return shared.playedFrames;
}
uint64_t brindle_paced_underruns() { std::lock_guard lock(shared.mutex); return shared.underruns; }
// Copies up to capacity recorded samples to out; returns how many there are in all.
size_t brindle_paced_recording(int16_t* out, size_t capacity)
{
    std::lock_guard lock(shared.mutex);
    std::copy_n(shared.recording.begin(), std::min(capacity, shared.recording.size()), out);
    return shared.recording.size();
}

SND_PCM_PLUGIN_DEFINE_FUNC(brindle_paced)
{
    (void)root;
    bool canPause = true;
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf)
    {
        snd_config_t* node = snd_config_iterator_entry(i);
        const char* id = nullptr;
        if (snd_config_get_id(node, &id) < 0 || !std::strcmp(id, "comment") || !std::strcmp(id, "type") ||
            !std::strcmp(id, "hint"))
            continue;
        if (std::strcmp(id, "pause") != 0 || snd_config_get_bool(node) < 0)
            return -EINVAL;
        canPause = snd_config_get_bool(node) != 0;
    }
    if (stream != SND_PCM_STREAM_PLAYBACK)
        return -EINVAL;

    auto* p = new Paced;
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
        Close(&p->io);
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
    std::lock_guard lock(shared.mutex);
    shared.open = p;
    return 0;
}

SND_PCM_PLUGIN_SYMBOL(brindle_paced)

}  // extern "C"
