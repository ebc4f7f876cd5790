// Builders of world files for the tests of the file format and of the engine's reader: hand
// assembly of the bytes field by field, and documents in the format's model.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/ais_format/ais_format.h"

namespace aistest {

using Bytes = std::vector<std::uint8_t>;
using AisFormat::Kind;

// Hand assembly of file bytes.
struct Builder {
    Bytes bytes;
    Builder& U32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    Builder& Header(std::uint32_t type, std::uint32_t length) { return U32(type).U32(length).U32(0x1C020016); }
    Builder& Field(const std::string& text) {
        bytes.insert(bytes.end(), text.begin(), text.end());
        bytes.insert(bytes.end(), 128 - text.size(), 0);
        return *this;
    }
    Builder& Magic() {
        const char* magic = "ZUNA .AIS FILE";
        bytes.insert(bytes.end(), magic, magic + 14);
        return U32(1);
    }
    // Node header, struct and fields; the children follow.
    Builder& Node(const std::string& label, const std::string& name, std::uint32_t count, std::uint32_t bodyLength) {
        return Header(0x10001, bodyLength).Header(1, 260).Field(label).Field(name).U32(count);
    }
    Builder& Leaf(const std::string& name, const std::string& value) {
        return Header(0x10002, 256).Field(name).Field(value);
    }
};

inline AisFormat::Node Leaf(const std::string& name, const std::string& value) {
    AisFormat::Node node;
    node.kind = Kind::Leaf;
    node.name = name;
    node.value = value;
    return node;
}

inline AisFormat::Node Raw() {
    AisFormat::Node node;
    node.kind = Kind::RawData;
    return node;
}

inline AisFormat::Node Branch(const std::string& label, const std::string& name,
                              std::vector<AisFormat::Node> children) {
    AisFormat::Node node;
    node.label = label;
    node.name = name;
    node.children = std::move(children);
    return node;
}

inline Bytes Encode(const AisFormat::Document& doc) {
    Bytes out;
    std::string error;
    EXPECT_TRUE(AisFormat::Encode(doc, out, error)) << error;
    return out;
}

inline Bytes Pattern(std::size_t size, std::uint32_t seed) {
    Bytes bytes(size);
    std::mt19937 random(seed);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(random());
    return bytes;
}

// A world with three raw blocks (sizes given) under different depths.
inline AisFormat::Document ThreeBlocks(std::size_t a, std::size_t b, std::size_t c) {
    AisFormat::Document doc;
    doc.root = Branch(
        "", "World",
        {Leaf("OneMeter", "1.0"), Branch("Graphs", "Service", {Raw(), Branch("", "AdditionalData", {Raw()})}), Raw()});
    doc.blocks = {Pattern(a, 1), Pattern(b, 2), Pattern(c, 3)};
    return doc;
}

} // namespace aistest
