#include "storage/sample_gain.h"

#include <charconv>
#include <limits>

namespace brindle {

void ScaleSamples(const float* in, float* out, int64_t count, int32_t percent)
{
    const double p = percent;
    for (int64_t k = 0; k < count; ++k)
        out[k] = StoreSample(p * double(in[k]) * kPercentFactor);
}

void FadeInSamples(const float* in, float* out, int64_t count, double first, double last)
{
    // k = first + j is exact (a channel has < 2^30 samples); a 32-bit j converts to double in vector
    // registers.
    const int32_t n = int32_t(count);
    for (int32_t j = 0; j < n; ++j)
        out[j] = StoreSample((first + double(j)) * double(in[j]) / last);
}

void FadeOutSamples(const float* in, float* out, int64_t count, double first, double last)
{
    const int32_t n = int32_t(count);
    for (int32_t j = 0; j < n; ++j)
        out[j] = StoreSample((1.0 - (first + double(j)) / last) * double(in[j]));
}

void GainStage::Apply(const float* in, float* out, int64_t count, int64_t at) const
{
    switch (kind) {
    case Kind::Scale: ScaleSamples(in, out, count, percent); break;
    case Kind::FadeIn: FadeInSamples(in, out, count, double(at - anchor), double(last)); break;
    case Kind::FadeOut: FadeOutSamples(in, out, count, double(at - anchor), double(last)); break;
    }
}

GainRef WithStage(const GainRef& chain, const GainStage& stage)
{
    auto made = std::make_shared<GainChain>();
    if (chain)
        made->stages = chain->stages;
    made->stages.push_back(stage);
    return made;
}

std::string GainWord(const GainChain& chain)
{
    std::string word;
    for (const GainStage& stage : chain.stages) {
        if (!word.empty())
            word += '~';
        if (stage.kind == GainStage::Kind::Scale)
            word += 's' + std::to_string(stage.percent);
        else
            word += (stage.kind == GainStage::Kind::FadeIn ? 'i' : 'o') + std::to_string(stage.last) + ',' +
                    std::to_string(stage.anchor);
    }
    return word;
}

namespace {

// The whole of [first, last) as a number of type T, or false.
template <class T>
bool Whole(const char* first, const char* last, T& value)
{
    const auto [end, error] = std::from_chars(first, last, value);
    return error == std::errc() && end == last && first != last;
}

}  // namespace

bool ParseGain(const std::string& word, GainChain& chain)
{
    chain.stages.clear();
    const char* at = word.data();
    const char* const end = at + word.size();
    while (at < end) {
        const char* stop = at;
        while (stop < end && *stop != '~')
            ++stop;
        if (stop == at || chain.stages.size() == kMaxGainStages)
            return false;
        GainStage stage;
        if (*at == 's') {
            if (!Whole(at + 1, stop, stage.percent))
                return false;
        } else if (*at == 'i' || *at == 'o') {
            stage.kind = *at == 'i' ? GainStage::Kind::FadeIn : GainStage::Kind::FadeOut;
            const char* comma = at + 1;
            while (comma < stop && *comma != ',')
                ++comma;
            // A ramp of one sample has no slope: a fade never makes one.
            // An anchor lies within a store's reach of its pieces (stores hold < 2^32 samples).
            constexpr int64_t kReach = int64_t(1) << 33;
            if (comma == stop || !Whole(at + 1, comma, stage.last) || stage.last == 0 ||
                !Whole(comma + 1, stop, stage.anchor) || stage.anchor < -kReach || stage.anchor > kReach)
                return false;
        } else {
            return false;
        }
        chain.stages.push_back(stage);
        if (stop == end)
            break;
        at = stop + 1;
        if (at == end)
            return false;  // a trailing separator
    }
    return !chain.stages.empty();
}

}  // namespace brindle
