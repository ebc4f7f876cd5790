#pragma once
// The AI world file (".AIS") encoding and its text form, shared by the aisdump and aispack
// tools and by the tests that need world files.
//
// Encode writes the one canonical form of a tree: engine stamp on every chunk, a node chunk's
// length the byte size of its body, a reference chunk's length 4 and its value the block's
// size, text fields padded with zeros, the raw blocks in depth-first order of their nodes.
// Decode accepts exactly that form (so Encode(Decode(f)) == f) and names the offset of the
// first deviation. The text form is described in tools/README.md.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ai/runtime/ais_reader.h"

namespace AisFormat {

enum class Kind {
    Node,    // label, name and children
    Leaf,    // name and value
    RawData, // reference to a raw data block
};

struct Node {
    Kind kind = Kind::Node;
    std::string label;          // Node only
    std::string name;           // Node and Leaf
    std::string value;          // Leaf only
    std::uint32_t size = 0;     // RawData: bytes of the block
    std::uint32_t block = 0;    // RawData: block number, depth first from 0
    std::string file;           // RawData: file holding the block in the text form (may be empty)
    bool hasSize = false;       // RawData read from text: size was given
    bool hasBlock = false;      // RawData read from text: block was given
    std::size_t line = 0;       // read from text: its line number (from 1)
    std::vector<Node> children; // Node only
};

struct Document {
    Node root;
    std::vector<std::vector<std::uint8_t>> blocks; // raw blocks by number
};

// The engine reader's bounds: bytes of a label, name or value (its field keeps a terminator), and
// the deepest nesting it reads (root: 1).
inline constexpr std::size_t kMaxText = CAisReader::kTextField - 1;
inline constexpr std::uint32_t kMaxDepth = CAisReader::kMaxDepth;

// Stamp word of every chunk written (the graphics core's version and build).
std::uint32_t Stamp();

// Appends the file for doc to out. false with a message when a text is longer than kMaxText
// or holds a NUL, the tree is deeper than kMaxDepth, the number of blocks differs from the
// number of RawData nodes, or the file would pass 4 GiB.
bool Encode(const Document& doc, std::vector<std::uint8_t>& out, std::string& error);
// Reads a file in canonical form into doc (RawData nodes get size and block; blocks filled).
// false with a message naming the offset of the first byte that differs from that form.
bool Decode(const std::uint8_t* data, std::size_t size, Document& doc, std::string& error);

// The RawData nodes of the tree in depth-first order (the order of their blocks).
std::vector<Node*> RawDataNodes(Node& root);

// Text form: one line per node, two spaces of indentation per level.
std::string FormatText(const Node& root);
// The text as the text form writes it: in double quotes, with escapes for '"', '\\' and every
// byte outside space to '~'; for messages that show what a user wrote.
std::string Shown(const std::string& text);
// Reads the text form into root. false with a message naming the line of the first error.
bool ParseText(const std::string& text, Node& root, std::string& error);

// Reads a text quoted as Shown writes it, at line[pos], and moves pos past it. false with a message naming the line
// number (a NUL byte is refused).
bool UnquoteText(const std::string& line, std::size_t& pos, std::size_t lineNumber, std::string& text,
                 std::string& error);

// Whole-file helpers of the tools; false with a message.
bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error);
bool WriteWholeFile(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string& error);

} // namespace AisFormat
