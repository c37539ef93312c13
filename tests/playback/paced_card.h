// The controls of the card of our own that tests play to (paced_pcm_plugin.cpp), found in the
// module alsa-lib loads. Holding our own reference keeps its counters alive between the PCMs the
// tests open.
#pragma once

#include <dlfcn.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

namespace brindle::test {

class PacedCard {
public:
    PacedCard() : module_(dlopen(BRINDLE_PACED_PCM_MODULE, RTLD_NOW))
    {
        if (!module_)
            return;
        reset_ = Find<void()>("brindle_paced_reset");
        played_ = Find<uint64_t()>("brindle_paced_played_frames");
        underruns_ = Find<uint64_t()>("brindle_paced_underruns");
        recording_ = Find<size_t(int16_t*, size_t)>("brindle_paced_recording");
        disconnect_ = Find<void()>("brindle_paced_disconnect");
        underrun_ = Find<void()>("brindle_paced_underrun");
        stallWrites_ = Find<void(unsigned)>("brindle_paced_stall_writes");
        delayClose_ = Find<void(unsigned)>("brindle_paced_delay_close");
    }
    ~PacedCard()
    {
        if (module_)
            dlclose(module_);
    }
    // Writes an alsa-lib configuration with "paced" (a card that can pause) and "paced_nopause", both
    // recording what they play, and points this process's alsa-lib at it.
    static void UseConfiguration(const std::filesystem::path& config)
    {
        std::ofstream(config) << "pcm_type.brindle_paced { lib \"" << BRINDLE_PACED_PCM_MODULE << "\" }\n"
                              << "pcm.paced { type brindle_paced pause true record true }\n"
                              << "pcm.paced_nopause { type brindle_paced pause false record true }\n";
        setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
    }

    bool Loaded() const
    {
        return module_ && reset_ && played_ && underruns_ && recording_ && disconnect_ && underrun_ && stallWrites_ &&
               delayClose_;
    }

    void Reset() { reset_(); }
    uint64_t PlayedFrames() { return played_(); }
    uint64_t Underruns() { return underruns_(); }
    void Disconnect() { disconnect_(); }
    void RunDry() { underrun_(); }
    // Every write waits this long before it takes anything (0: no stall); every close takes closeMs.
    void StallWrites(unsigned ms) { stallWrites_(ms); }
    void DelayClose(unsigned ms) { delayClose_(ms); }
    std::vector<unsigned char> Recording()
    {
        std::vector<int16_t> samples(recording_(nullptr, 0));
        recording_(samples.data(), samples.size());
        const auto* bytes = reinterpret_cast<const unsigned char*>(samples.data());
        return {bytes, bytes + samples.size() * sizeof(int16_t)};
    }

private:
    template <class F>
    F* Find(const char* name)
    {
        return reinterpret_cast<F*>(dlsym(module_, name));
    }
    void* module_;
    void (*reset_)() = nullptr;
    uint64_t (*played_)() = nullptr;
    uint64_t (*underruns_)() = nullptr;
    size_t (*recording_)(int16_t*, size_t) = nullptr;
    void (*disconnect_)() = nullptr;
    void (*underrun_)() = nullptr;
    void (*stallWrites_)(unsigned) = nullptr;
    void (*delayClose_)(unsigned) = nullptr;
};

}  // namespace brindle::test
