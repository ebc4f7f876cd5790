// The world file format's writer against hand-assembled bytes, its canonical decoder and its text
// form.

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tools/ais_format/ais_format.h"
#include "tools/ais_format/tests/ais_test_kit.h"

namespace {

using namespace aistest;

// The small file of the documentation, assembled field by field: root node "World" without
// label and one leaf OneMeter = "1.0"; then the same with a RawData node and its block. (The
// engine's reader is held to the writer by its random trees.)
TEST(AisFileFormat, GoldenBytesOfHandAssembledFilesMatchTheWriter) {
    Builder golden;
    golden.Magic().Node("", "World", 1, 540).Leaf("OneMeter", "1.0");
    ASSERT_EQ(golden.bytes.size(), 570u);

    AisFormat::Document doc;
    doc.root = Branch("", "World", {Leaf("OneMeter", "1.0")});
    EXPECT_EQ(Encode(doc), golden.bytes);

    Builder withBlock;
    withBlock.Magic().Node("", "World", 2, 540 + 16).Leaf("OneMeter", "1.0").Header(0x10003, 4).U32(3);
    withBlock.Header(0x10004, 3);
    withBlock.bytes.insert(withBlock.bytes.end(), {'a', 'b', 'c'});
    doc.root.children.push_back(Raw());
    doc.blocks = {{'a', 'b', 'c'}};
    EXPECT_EQ(Encode(doc), withBlock.bytes);
}

// Text form: text -> file -> text -> file gives the same bytes and the same text.
TEST(AisTextFormat, TextRoundTripAndErrors) {
    const std::string text = "node label=\"\" name=\"World\"\n"
                             "  leaf name=\"OneMeter\" value=\"1.0\"\n"
                             "  node label=\"G \\\"q\\\" \\\\ \\xe9\\x01\" name=\"Graph\"\n"
                             "    raw size=3 block=0 file=\"block-0000.bin\"\n"
                             "    node label=\"\" name=\"\"\n"
                             "  leaf name=\"\" value=\"\"\n";
    AisFormat::Document doc;
    std::string error;
    ASSERT_TRUE(AisFormat::ParseText(text, doc.root, error)) << error;
    EXPECT_EQ(doc.root.children[1].label, std::string("G \"q\" \\ \xe9\x01"));
    EXPECT_EQ(AisFormat::FormatText(doc.root), text);
    doc.blocks = {{1, 2, 3}};
    const Bytes bytes = Encode(doc);
    AisFormat::Document decoded;
    ASSERT_TRUE(AisFormat::Decode(bytes.data(), bytes.size(), decoded, error)) << error;
    decoded.root.children[1].children[0].file = "block-0000.bin";
    const std::string again = AisFormat::FormatText(decoded.root);
    EXPECT_EQ(again, text);
    AisFormat::Document reparsed;
    ASSERT_TRUE(AisFormat::ParseText(again, reparsed.root, error));
    reparsed.blocks = decoded.blocks;
    EXPECT_EQ(Encode(reparsed), bytes);

    // Comments, blank lines and CR-LF line ends are accepted.
    ASSERT_TRUE(AisFormat::ParseText("# c\r\n\r\nnode name=\"W\"\r\n  # x\r\n  leaf name=\"a\" value=\"b\"\r\n",
                                     doc.root, error))
        << error;
    EXPECT_EQ(doc.root.children.size(), 1u);

    const std::pair<const char*, const char*> bad[] = {
        {"", "no node"},
        {"node name=\"a\"\nnode name=\"b\"\n", "line 2"},
        {"node name=\"a\"\n    leaf name=\"b\" value=\"c\"\n", "line 2"},
        {"node name=\"a\"\n   leaf name=\"b\"\n", "line 2"},
        {"node name=\"a\"\n\tleaf name=\"b\"\n", "line 2"},
        {"leaf name=\"a\" value=\"b\"\n  leaf name=\"c\" value=\"d\"\n", "line 2"},
        {"node value=\"a\"\n", "line 1"},
        {"node name=\"a\" name=\"b\"\n", "line 1"},
        {"node name=\"a\n", "line 1"},
        {"node name=\"\\x00\"\n", "line 1"},
        {"node name=\"\\q\"\n", "line 1"},
        {"raw size=99999999999\n", "line 1"},
        {"thing name=\"a\"\n", "line 1"},
        {"node name=\"a\"x\n", "line 1"},
    };
    for (auto [input, where] : bad) {
        AisFormat::Node root;
        EXPECT_FALSE(AisFormat::ParseText(input, root, error)) << input;
        EXPECT_NE(error.find(where), std::string::npos) << input << ": " << error;
    }
    // A byte that the text would print as an escape is refused where it stands for itself, and
    // messages show what was read with escapes.
    for (const std::string& input : {std::string("node name=\"a\0b\"\n", 13), std::string("node name=\"\t\"\n"),
                                     std::string("node name=\"\x7f\"\n"), std::string("node name=\"\xe9\"\n"),
                                     std::string("no\x01"
                                                 "de name=\"a\"\n"),
                                     std::string("node n\x02me=\"a\"\n")}) {
        AisFormat::Node root;
        EXPECT_FALSE(AisFormat::ParseText(input, root, error)) << input;
        EXPECT_NE(error.find("line 1"), std::string::npos) << error;
        EXPECT_TRUE(std::all_of(error.begin(), error.end(), [](char c) { return c >= 0x20 && c < 0x7F; })) << error;
    }
    AisFormat::Node longName;
    EXPECT_FALSE(AisFormat::ParseText("node name=\"" + std::string(128, 'n') + "\"\n", longName, error));
    EXPECT_TRUE(AisFormat::ParseText("node name=\"" + std::string(127, 'n') + "\"\n", longName, error)) << error;
}

// The writer refuses what the format cannot hold; the decoder refuses every non-canonical file.
TEST(AisTextFormat, WriterLimitsAndCanonicalDecoding) {
    std::string error;
    Bytes out;
    AisFormat::Document doc;
    doc.root = Branch("", std::string(128, 'n'), {});
    EXPECT_FALSE(AisFormat::Encode(doc, out, error));
    doc.root = Branch("", std::string("a\0b", 3), {});
    EXPECT_FALSE(AisFormat::Encode(doc, out, error));
    doc.root = Branch("", "W", {Raw()});
    EXPECT_FALSE(AisFormat::Encode(doc, out, error)) << "one RawData node, no block";
    AisFormat::Node deep = Branch("", "N", {});
    for (int i = 0; i < 256; ++i)
        deep = Branch("", "N", {deep});
    doc.root = deep;
    EXPECT_FALSE(AisFormat::Encode(doc, out, error)) << "257 levels";
    doc.root = deep.children[0];
    EXPECT_TRUE(AisFormat::Encode(doc, out, error)) << error;

    AisFormat::Document small = ThreeBlocks(4, 8, 12);
    small.root.children.push_back(Leaf("k", "v"));
    const Bytes good = Encode(small);
    AisFormat::Document decoded;
    ASSERT_TRUE(AisFormat::Decode(good.data(), good.size(), decoded, error)) << error;
    // Every single-byte change is either refused or (in text fields and blocks) decoded to a
    // document that encodes back to the changed bytes.
    for (std::size_t at = 0; at < good.size(); ++at) {
        for (std::uint8_t x : {std::uint8_t{0x01}, std::uint8_t{0x80}}) {
            Bytes bad = good;
            bad[at] ^= x;
            if (AisFormat::Decode(bad.data(), bad.size(), decoded, error)) {
                EXPECT_EQ(Encode(decoded), bad) << at;
            }
        }
    }
    Bytes trailing = good;
    trailing.push_back(0);
    EXPECT_FALSE(AisFormat::Decode(trailing.data(), trailing.size(), decoded, error));
    EXPECT_NE(error.find("after the last raw block"), std::string::npos) << error;
    for (std::size_t n = 0; n < good.size(); ++n)
        EXPECT_FALSE(AisFormat::Decode(good.data(), n, decoded, error)) << n;
}

} // namespace
