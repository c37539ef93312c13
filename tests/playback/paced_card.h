// The controls of the tests' own card (paced_pcm_plugin.cpp), found in the module alsa-lib loads. Our
// own reference to the module keeps its counters alive between the PCMs the tests open.
#pragma once

#include <dlfcn.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

namespace brindle::test {

class PacedCard {
    void* module_;
    template <class F, class... Args>
    auto Call(const char* name, Args... args)
    {
        return reinterpret_cast<F*>(dlsym(module_, name))(args...);
    }

public:
    PacedCard() : module_(dlopen(BRINDLE_PACED_PCM_MODULE, RTLD_NOW)) {}
    ~PacedCard()
    {
        if (module_)
            dlclose(module_);
    }
    PacedCard(const PacedCard&) = delete;
    PacedCard& operator=(const PacedCard&) = delete;
    // Writes an alsa-lib configuration with "paced" (a card that can pause) and "paced_nopause", and
    // points this process's alsa-lib at it.
    static void UseConfiguration(const std::filesystem::path& config)
    {
        std::ofstream(config) << "pcm_type.brindle_paced { lib \"" << BRINDLE_PACED_PCM_MODULE << "\" }\n"
                              << "pcm.paced { type brindle_paced pause true }\n"
                              << "pcm.paced_nopause { type brindle_paced pause false }\n";
        setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
    }
    bool Loaded() const { return module_ && dlsym(module_, "brindle_paced_reset"); }

    void Reset() { Call<void()>("brindle_paced_reset"); }
    uint64_t PlayedFrames() { return Call<uint64_t()>("brindle_paced_played_frames"); }
    uint64_t Underruns() { return Call<uint64_t()>("brindle_paced_underruns"); }
    void Disconnect() { Call<void()>("brindle_paced_disconnect"); }
    void RunDry() { Call<void()>("brindle_paced_underrun"); }
    // Every write waits this long before it takes anything (0: no stall); every close takes ms.
    void StallWrites(unsigned ms) { Call<void(unsigned)>("brindle_paced_stall_writes", ms); }
    void DelayClose(unsigned ms) { Call<void(unsigned)>("brindle_paced_delay_close", ms); }
    std::vector<unsigned char> Recording()
    {
        std::vector<int16_t> samples(Call<size_t(int16_t*, size_t)>("brindle_paced_recording", nullptr, 0));
        Call<size_t(int16_t*, size_t)>("brindle_paced_recording", samples.data(), samples.size());
        const auto* bytes = reinterpret_cast<const unsigned char*>(samples.data());
        return {bytes, bytes + samples.size() * sizeof(int16_t)};
    }
};

}  // namespace brindle::test
