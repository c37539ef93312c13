// Loudness after EBU R128, measured by libebur128 over a range of a sound: integrated loudness
// (LUFS), loudness range (LU), true peak and sample peak (dBFS). And the gain that brings a sound to
// a target loudness, kept below a ceiling.
#pragma once

#include <cstdint>

namespace brindle {

class Progress;
class SoundBuffer;

struct LoudnessFigures {
    // -infinity for silence or a range shorter than one gating block (400 ms), as libebur128 says.
    double integratedLufs = 0;
    double rangeLu = 0;
    double truePeakDbfs = 0;
    double samplePeakDbfs = 0;
};

// Measures frames [start, end) of sound (-1 -1: the whole sound), every channel, reading block by
// block. 1, or 0 on a read failure, a cancel (polled between blocks) or a sound libebur128 refuses.
int MeasureLoudness(const SoundBuffer& sound, int64_t start, int64_t end, LoudnessFigures& figures,
                    Progress* progress = nullptr);

// The gain in dB that brings measured to targetLufs; 0 when the sound is silent.
double GainToTarget(const LoudnessFigures& measured, double targetLufs);
// The largest gain in dB that keeps the true peak at or below ceilingDbfs.
double GainToCeiling(const LoudnessFigures& measured, double ceilingDbfs);
// A gain in dB as the whole percentage the volume edit applies (nearest, at least 0).
int32_t GainPercent(double gainDb);

}  // namespace brindle
