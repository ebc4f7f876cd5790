#pragma once
// Path-way and neural-net blocks of AI world files: their bytes and a small text form, shared by the
// aires tool and the tests that need such blocks. The text form is described in tools/README.md.
//
// Path way:                         Neural net:
//   pathway name="Patrol" flag=1      neuralnet linear=0
//   walk 0 0 0                        layers 2 3 1
//   pause 2                           weights 0.5 0.5 0.5 ...   (more "weights" lines append)
//   run 10 0 0
//   command "look around"
//   skip 7
// Each path-way line after the first is one record of the block, in order.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace AiRes {

using Bytes = std::vector<std::uint8_t>;

inline constexpr char kPathWayMagic[] = "Quelmor Path Way";
inline constexpr char kNeuralNetMagic[] = "Quelmor Neural Net";

struct PathWayRecord {
    std::uint8_t type = 0;     // 1-4 positions, 11-13 numeric commands, 14 command text, others skipped
    float x = 0, y = 0, z = 0; // types 1-4
    float value = 0;           // types 11-13
    std::string text;          // type 14: at most 64 bytes, padded with NULs in the block
};

struct PathWay {
    std::string name; // at most 255 bytes
    std::uint8_t flag = 0;
    std::vector<PathWayRecord> records; // without the closing type-0 record
};

struct NeuralNet {
    std::uint8_t linear = 0;          // not 0: the output layer without the activation
    std::vector<std::int32_t> layers; // neuron counts, input layer first
    std::vector<float> weights;
};

// Bytes of a block. The writers do not check their input, so tests can make bad blocks too.
Bytes EncodePathWay(const PathWay& way);
Bytes EncodeNeuralNet(const NeuralNet& net);
// Reads a block; false with a message naming the offset of the first fault.
bool DecodePathWay(const Bytes& bytes, PathWay& way, std::string& error);
bool DecodeNeuralNet(const Bytes& bytes, NeuralNet& net, std::string& error);

std::string FormatPathWay(const PathWay& way);
std::string FormatNeuralNet(const NeuralNet& net);
// Reads the text form of either kind (told by its first line) and writes the block's bytes; false with
// a message naming the line of the first fault. Checks what the engine's readers demand.
bool ParseText(const std::string& text, Bytes& block, std::string& error);
// The text form of a block of either kind (told by its magic); false with a message.
bool FormatBlock(const Bytes& block, std::string& text, std::string& error);

} // namespace AiRes
