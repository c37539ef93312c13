// What every fuzz target shares: the input goes to disk as a file, because the readers are meant for
// files and the path a file takes (open, size, pread) is part of what is tested.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace brindle {
class SoundBuffer;
}

namespace brindle::fuzz {

// A private folder for this process, made on first use and set as $TMPDIR so the sample stores land
// there too, and the path of a file in it named `name` holding the input.
std::filesystem::path WriteInput(const uint8_t* data, size_t size, const std::string& name);

// Reads back every sample a load stored, as the player and the waveform will: a store that cannot
// give back what the load put in is a finding (the process traps).
void ReadEverySample(const SoundBuffer& buffer);

}  // namespace brindle::fuzz
