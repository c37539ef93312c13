#include "edit/loudness.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "edit/block_walk.h"
#include "storage/sound_buffer.h"
#include "tasks/progress.h"

namespace brindle {

namespace {

struct Ebur128Deleter {
    void operator()(ebur128_state* state) const { ebur128_destroy(&state); }
};

constexpr double kAbsoluteGateLufs = -70.0;

// The spread between the 10th and the 95th percentile of the short-term loudness values above the
// absolute gate and above the relative gate 20 LU under their power mean.
double LoudnessRange(std::vector<double>& values)
{
    if (values.empty())
        return 0.0;
    double power = 0;
    for (const double value : values)
        power += std::pow(10.0, value / 10.0);
    const double gate = 10.0 * std::log10(power / double(values.size())) - 20.0;
    values.erase(std::remove_if(values.begin(), values.end(), [gate](double value) { return value < gate; }),
                 values.end());
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const auto at = [&](double share) { return values[size_t(std::lround(double(values.size() - 1) * share))]; };
    return at(0.95) - at(0.10);
}

double Decibels(double linear) { return linear > 0 ? 20.0 * std::log10(linear) : -std::numeric_limits<double>::infinity(); }

}  // namespace

int MeasureLoudness(const SoundBuffer& sound, int64_t start, int64_t end, LoudnessFigures& figures, Progress* progress)
{
    const ChannelSet& channels = sound.channels;
    if (!channels.IsValid() || channels.IsEmpty())
        return FinishProgress(progress, 0);
    const int64_t n = channels.FrameCount();
    if (start == -1 && end == -1)
        start = 0, end = n;
    start = std::clamp<int64_t>(start, 0, n);
    end = std::clamp<int64_t>(end, 0, n);
    if (start >= end)
        start = 0, end = n;
    const uint16_t count = channels.ChannelCount();
    std::unique_ptr<ebur128_state, Ebur128Deleter> state(
        ebur128_init(count, channels.SampleRate(),
                     EBUR128_MODE_I | EBUR128_MODE_S | EBUR128_MODE_TRUE_PEAK | EBUR128_MODE_SAMPLE_PEAK));
    if (!state)
        return FinishProgress(progress, 0);
    detail::EditMeter meter(progress, (end - start) * count);
    std::vector<float> planar(kBlockSamples), interleaved(size_t(kBlockSamples) * count);
    // The loudness range is taken from the short-term loudness of whole 3 s windows moved on by
    // 100 ms, as the range's definition has it (libebur128's own moves by a second, and reads up to
    // half a LU apart from other meters on sound that swells).
    const int64_t hop = std::max<int64_t>(1, channels.SampleRate() / 10);
    std::vector<double> shortTerm;
    shortTerm.reserve(size_t((end - start) / hop + 1));
    double blocks[30] = {};
    int64_t blockCount = 0;
    for (int64_t position = start; position < end;) {
        const int64_t toHop = hop - (position - start) % hop;
        const uint32_t frames = uint32_t(
            std::min({int64_t(kBlockSamples - position % kBlockSamples), end - position, toHop}));
        for (uint16_t c = 0; c < count; ++c) {
            if (!detail::EditMeter::Step(0) || !channels.Channel(c).ReadSamples(uint32_t(position), planar.data(), frames))
                return FinishProgress(progress, 0);
            for (uint32_t k = 0; k < frames; ++k)
                interleaved[size_t(k) * count + c] = planar[k];
        }
        if (ebur128_add_frames_float(state.get(), interleaved.data(), frames) != EBUR128_SUCCESS ||
            !detail::EditMeter::Step(int64_t(frames) * count))
            return FinishProgress(progress, 0);
        position += frames;
        // Each 3 s window is the mean of its thirty 100 ms blocks' energies: asking libebur128 for the
        // window itself at every step would sum three seconds of samples each time.
        double block = 0;
        if ((position - start) % hop == 0) {
            if (ebur128_loudness_window(state.get(), 100, &block) != EBUR128_SUCCESS)
                return FinishProgress(progress, 0);
            const double energy = std::isfinite(block) ? std::pow(10.0, (block + 0.691) / 10.0) : 0.0;
            blocks[blockCount % 30] = energy;
            ++blockCount;
            double windowSum = 0;
            for (const double each : blocks)
                windowSum += each;
            const double window = windowSum > 0 ? -0.691 + 10.0 * std::log10(windowSum / 30.0) : -HUGE_VAL;
            if (blockCount >= 30 && window > kAbsoluteGateLufs)
                shortTerm.push_back(window);
        }
    }
    double integrated = 0, truePeak = 0, samplePeak = 0;
    if (ebur128_loudness_global(state.get(), &integrated) != EBUR128_SUCCESS)
        return FinishProgress(progress, 0);
    const double range = LoudnessRange(shortTerm);
    for (uint16_t c = 0; c < count; ++c) {
        double channelTrue = 0, channelSample = 0;
        if (ebur128_true_peak(state.get(), c, &channelTrue) != EBUR128_SUCCESS ||
            ebur128_sample_peak(state.get(), c, &channelSample) != EBUR128_SUCCESS)
            return FinishProgress(progress, 0);
        truePeak = std::max(truePeak, channelTrue);
        samplePeak = std::max(samplePeak, channelSample);
    }
    figures.integratedLufs = integrated;
    figures.rangeLu = range;
    figures.truePeakDbfs = Decibels(truePeak);
    figures.samplePeakDbfs = Decibels(samplePeak);
    return FinishProgress(progress, 1);
}

double GainToTarget(const LoudnessFigures& measured, double targetLufs)
{
    return std::isfinite(measured.integratedLufs) ? targetLufs - measured.integratedLufs : 0.0;
}

double GainToCeiling(const LoudnessFigures& measured, double ceilingDbfs)
{
    return std::isfinite(measured.truePeakDbfs) ? ceilingDbfs - measured.truePeakDbfs : 0.0;
}

int32_t GainPercent(double gainDb)
{
    const double percent = std::floor(100.0 * std::pow(10.0, gainDb / 20.0) + 0.5);
    return int32_t(std::clamp(percent, 0.0, double(INT32_MAX)));
}

}  // namespace brindle
