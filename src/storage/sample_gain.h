// Gains carried by pieces: a change of volume or a fade is a function of a store's sample index that
// the piece applies as its samples are read, so the edit writes no samples at all. The arithmetic here
// is the only one: the kernels that write a gain's result into a new store (src/edit) call the same
// functions, so every sample read through a piece's gain equals, to the bit, what writing it would
// have stored.
//
// A fade's ramp is fixed by the edit's range: k counts the range's samples from 0, and a piece keeps
// the store index where k would be 0 (its anchor). Cutting a piece moves its start but not the anchor,
// so the pieces of a cut share their gain unchanged.
//
// Each stage stores its result as a float, clamped to full scale (StoreSample), before the next one
// reads it, exactly as one written edit after another would: stages never fold into one factor.
#pragma once

#include <compare>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace brindle {

// The stored value of a kernel's result y: -1.0 below -1, 1.0 above 1, 0.0 for NaN, else the float
// nearest y. Branches rather than selects: real sound rarely clips, so they are predicted, and on
// baseline x86-64 (two doubles per vector) this scalar form measured faster than a vectorised one.
inline float StoreSample(double y)
{
    if (y < -1.0)
        return -1.0f;
    if (y > 1.0)
        return 1.0f;
    if (y != y)
        return 0.0f;
    return float(y);
}

// The percentage factor 0.01 is the single-precision constant, not the exact decimal: the volume
// arithmetic is defined with it, and the tests pin its results down sample for sample.
constexpr double kPercentFactor = double(0.01f);  // 0.009999999776482582

// y = percent * x * 0.01.
void ScaleSamples(const float* in, float* out, int64_t count, int32_t percent);
// k = first, first + 1, ...: fade in y = (k * x) / last, fade out y = (1 - k / last) * x. k is
// recomputed from first for every sample rather than stepped by adding, which would drift over a
// long range so that the last sample missed its exact gain.
void FadeInSamples(const float* in, float* out, int64_t count, double first, double last);
void FadeOutSamples(const float* in, float* out, int64_t count, double first, double last);

struct GainStage {
    enum class Kind : uint8_t { Scale, FadeIn, FadeOut };
    Kind kind = Kind::Scale;
    int32_t percent = 100;  // Scale
    uint32_t last = 1;      // fades: the range's length - 1, at least 1
    int64_t anchor = 0;     // fades: the store index of k = 0

    auto operator<=>(const GainStage&) const = default;
    // Applies the stage to count samples that begin at store index `at` (in and out may be the same).
    void Apply(const float* in, float* out, int64_t count, int64_t at) const;
    // A positive (negative) constant factor keeps (reverses) the order of samples.
    bool IsScale() const { return kind == Kind::Scale; }
};

// The stages a piece applies, first to last; immutable once made, shared by every piece cut from it.
struct GainChain {
    std::vector<GainStage> stages;

    bool operator==(const GainChain&) const = default;
    void Apply(float* samples, int64_t count, int64_t at) const
    {
        for (const GainStage& stage : stages)
            stage.Apply(samples, samples, count, at);
    }
};
using GainRef = std::shared_ptr<const GainChain>;

// The most stages a piece carries. Each costs a multiply (a fade's also a divide) and a clamp per
// sample on every read (playback, peaks, saves); past this an edit writes its result into a store,
// which resets the chain. Eight lets a user try a few volumes and fades on the same range (and undo
// none of them) without a write, while a read through a full chain still runs far faster than real
// time and no slower than a save's encoding.
constexpr size_t kMaxGainStages = 8;

// chain followed by stage (chain may be null).
GainRef WithStage(const GainRef& chain, const GainStage& stage);
inline size_t StageCount(const GainRef& chain) { return chain ? chain->stages.size() : 0; }
inline bool SameGain(const GainRef& a, const GainRef& b) { return a == b || (a && b && *a == *b); }

// The journal's word for a chain ("" for none): stages joined by '~', each "s<percent>",
// "i<last>,<anchor>" or "o<last>,<anchor>"; ParseGain gives the chain back, or false for a damaged
// word or one of more than kMaxGainStages stages.
std::string GainWord(const GainChain& chain);
bool ParseGain(const std::string& word, GainChain& chain);

}  // namespace brindle
