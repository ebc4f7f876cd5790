#include "tools/ais_format/ais_format.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "ai/runtime/ais_reader.h"
#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"

namespace AisFormat {
namespace {

using R = CAisReader; // chunk types, field and record sizes of the format

constexpr std::uint32_t kHeader = ovCHUNKHEADERSIZE;
constexpr std::uint32_t kField = R::kTextField;

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

// ---- encoding ---------------------------------------------------------------------------

// Bytes of a node's whole encoding, header included.
std::uint64_t EncodedSize(const Node& node) {
    switch (node.kind) {
    case Kind::Leaf:
        return kHeader + R::kLeafSize;
    case Kind::RawData:
        return kHeader + R::kReferenceSize;
    case Kind::Node:
        break;
    }
    std::uint64_t size = kHeader + kHeader + R::kNodeStructSize;
    for (const Node& child : node.children) {
        size += EncodedSize(child);
    }
    return size;
}

bool CheckText(const std::string& text, const char* what, std::string& error) {
    if (text.size() > kMaxText) {
        error = std::string(what) + " \"" + text.substr(0, 20) + "...\" is longer than " + std::to_string(kMaxText) +
                " bytes";
        return false;
    }
    if (text.find('\0') != std::string::npos) {
        error = std::string(what) + " holds a NUL byte";
        return false;
    }
    return true;
}

bool CheckTree(const Node& node, std::uint32_t depth, std::uint32_t& rawCount, std::string& error) {
    if (depth > kMaxDepth) {
        error = "the tree is deeper than " + std::to_string(kMaxDepth) + " levels";
        return false;
    }
    switch (node.kind) {
    case Kind::Leaf:
        return CheckText(node.name, "name", error) && CheckText(node.value, "value", error);
    case Kind::RawData:
        ++rawCount;
        return true;
    case Kind::Node:
        break;
    }
    if (!CheckText(node.label, "label", error) || !CheckText(node.name, "name", error)) {
        return false;
    }
    for (const Node& child : node.children) {
        if (!CheckTree(child, depth + 1, rawCount, error)) {
            return false;
        }
    }
    return true;
}

class Writer {
public:
    explicit Writer(std::vector<std::uint8_t>& out) : m_out(out) {}

    void U32(std::uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            m_out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
    }
    void Header(std::uint32_t type, std::uint64_t length) {
        U32(type);
        U32(static_cast<std::uint32_t>(length));
        U32(Stamp());
    }
    void Field(const std::string& text) {
        m_out.insert(m_out.end(), text.begin(), text.end());
        m_out.insert(m_out.end(), kField - text.size(), 0);
    }
    void Bytes(const std::vector<std::uint8_t>& bytes) { m_out.insert(m_out.end(), bytes.begin(), bytes.end()); }

    void Tree(const Node& node, const Document& doc, std::uint32_t& nextBlock) {
        switch (node.kind) {
        case Kind::Leaf:
            Header(R::kChunkLeaf, R::kLeafSize);
            Field(node.name);
            Field(node.value);
            return;
        case Kind::RawData:
            Header(R::kChunkReference, R::kReferenceSize);
            U32(static_cast<std::uint32_t>(doc.blocks[nextBlock++].size()));
            return;
        case Kind::Node:
            break;
        }
        Header(R::kChunkNode, EncodedSize(node) - kHeader);
        Header(R::kChunkStruct, R::kNodeStructSize);
        Field(node.label);
        Field(node.name);
        U32(static_cast<std::uint32_t>(node.children.size()));
        for (const Node& child : node.children) {
            Tree(child, doc, nextBlock);
        }
    }

private:
    std::vector<std::uint8_t>& m_out;
};

// ---- decoding ---------------------------------------------------------------------------

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size, std::string& error)
        : m_data(data), m_size(size), m_error(error) {}

    std::size_t Position() const { return m_pos; }
    std::size_t Left() const { return m_size - m_pos; }

    bool Fail(std::size_t offset, const std::string& message) {
        m_error = "offset " + Hex(offset) + ": " + message;
        return false;
    }
    bool Need(std::size_t bytes, const char* what) {
        return Left() >= bytes || Fail(m_pos, std::string("file ends inside ") + what);
    }
    bool U32(std::uint32_t& value, const char* what) {
        if (!Need(4, what)) {
            return false;
        }
        value = static_cast<std::uint32_t>(m_data[m_pos]) | static_cast<std::uint32_t>(m_data[m_pos + 1]) << 8 |
                static_cast<std::uint32_t>(m_data[m_pos + 2]) << 16 |
                static_cast<std::uint32_t>(m_data[m_pos + 3]) << 24;
        m_pos += 4;
        return true;
    }
    bool Header(std::uint32_t& type, std::uint32_t& length) {
        std::uint32_t stamp = 0;
        if (!U32(type, "a chunk header") || !U32(length, "a chunk header") || !U32(stamp, "a chunk header")) {
            return false;
        }
        return stamp == Stamp() || Fail(m_pos - 4, "chunk stamp " + Hex(stamp) + " is not " + Hex(Stamp()));
    }
    bool Field(std::string& text, const char* what) {
        if (!Need(kField, what)) {
            return false;
        }
        const std::uint8_t* field = m_data + m_pos;
        std::size_t length = strnlen(reinterpret_cast<const char*>(field), kField);
        if (length == kField) {
            return Fail(m_pos, std::string(what) + " field has no terminating NUL");
        }
        for (std::size_t i = length; i < kField; ++i) {
            if (field[i] != 0) {
                return Fail(m_pos + i, std::string(what) + " field is not padded with zeros");
            }
        }
        text.assign(reinterpret_cast<const char*>(field), length);
        m_pos += kField;
        return true;
    }
    bool Bytes(std::vector<std::uint8_t>& bytes, std::uint32_t length, const char* what) {
        if (!Need(length, what)) {
            return false;
        }
        bytes.assign(m_data + m_pos, m_data + m_pos + length);
        m_pos += length;
        return true;
    }

    // One node encoding; refSizes receives the value of every reference in order.
    bool Tree(Node& node, std::uint32_t depth, std::vector<std::uint32_t>& refSizes) {
        std::size_t start = m_pos;
        if (depth > kMaxDepth) {
            return Fail(start, "nodes nested deeper than " + std::to_string(kMaxDepth) + " levels");
        }
        std::uint32_t type = 0;
        std::uint32_t length = 0;
        if (!Header(type, length)) {
            return false;
        }
        switch (type) {
        case R::kChunkLeaf:
            node.kind = Kind::Leaf;
            if (length != R::kLeafSize) {
                return Fail(start + 4, "leaf chunk length " + std::to_string(length) + " is not 256");
            }
            return Field(node.name, "a leaf's name") && Field(node.value, "a leaf's value");
        case R::kChunkReference:
            node.kind = Kind::RawData;
            if (length != R::kReferenceSize) {
                return Fail(start + 4, "reference chunk length " + std::to_string(length) + " is not 4");
            }
            node.block = static_cast<std::uint32_t>(refSizes.size());
            if (!U32(node.size, "a reference")) {
                return false;
            }
            refSizes.push_back(node.size);
            return true;
        case R::kChunkNode:
            break;
        default:
            return Fail(start, "chunk type " + Hex(type) + " is not a node, leaf or reference");
        }
        node.kind = Kind::Node;
        std::uint32_t structType = 0;
        std::uint32_t structLength = 0;
        std::uint32_t count = 0;
        if (!Header(structType, structLength)) {
            return false;
        }
        if (structType != R::kChunkStruct || structLength != R::kNodeStructSize) {
            return Fail(start + kHeader, "a node's struct chunk is not of type 1 and length 260");
        }
        if (!Field(node.label, "a node's label") || !Field(node.name, "a node's name") ||
            !U32(count, "a node's child count")) {
            return false;
        }
        // Every child takes a chunk header at least, so a hostile count ends at the file's end.
        for (std::uint32_t i = 0; i < count; ++i) {
            node.children.emplace_back();
            if (!Tree(node.children.back(), depth + 1, refSizes)) {
                return false;
            }
        }
        std::size_t body = m_pos - start - kHeader;
        if (body != length) {
            return Fail(start + 4, "node chunk length " + std::to_string(length) + " differs from its body's " +
                                       std::to_string(body) + " bytes");
        }
        return true;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
    std::string& m_error;
};

// ---- text form --------------------------------------------------------------------------

void Quote(const std::string& text, std::string& out) {
    static const char kDigits[] = "0123456789abcdef";
    out += '"';
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            out += "\\x";
            out += kDigits[c >> 4];
            out += kDigits[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

void FormatLine(const Node& node, std::size_t depth, std::string& out) {
    out.append(2 * depth, ' ');
    switch (node.kind) {
    case Kind::Node:
        out += "node label=";
        Quote(node.label, out);
        out += " name=";
        Quote(node.name, out);
        break;
    case Kind::Leaf:
        out += "leaf name=";
        Quote(node.name, out);
        out += " value=";
        Quote(node.value, out);
        break;
    case Kind::RawData:
        out += "raw size=" + std::to_string(node.size) + " block=" + std::to_string(node.block);
        if (!node.file.empty()) {
            out += " file=";
            Quote(node.file, out);
        }
        break;
    }
    out += '\n';
    for (const Node& child : node.children) {
        FormatLine(child, depth + 1, out);
    }
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Parser of one line's attributes; errors carry the line number.
class LineParser {
public:
    LineParser(const std::string& line, std::size_t pos, std::size_t number, std::string& error)
        : m_line(line), m_pos(pos), m_number(number), m_error(error) {}

    bool Fail(const std::string& message) {
        m_error = "line " + std::to_string(m_number) + ": " + message;
        return false;
    }
    void SkipSpaces() {
        while (m_pos < m_line.size() && m_line[m_pos] == ' ') {
            ++m_pos;
        }
    }
    bool AtEnd() {
        SkipSpaces();
        return m_pos >= m_line.size();
    }
    std::size_t Position() const { return m_pos; }
    std::string Word() {
        std::size_t start = m_pos;
        while (m_pos < m_line.size() && m_line[m_pos] != ' ' && m_line[m_pos] != '=') {
            ++m_pos;
        }
        return m_line.substr(start, m_pos - start);
    }
    bool Expect(char c, const char* what) {
        if (m_pos < m_line.size() && m_line[m_pos] == c) {
            ++m_pos;
            return true;
        }
        return Fail(std::string("expected ") + what);
    }
    bool Quoted(std::string& text) {
        if (!Expect('"', "a quoted text")) {
            return false;
        }
        text.clear();
        while (m_pos < m_line.size() && m_line[m_pos] != '"') {
            char c = m_line[m_pos++];
            if (c != '\\') {
                // Bytes stand for themselves only where the text prints them so.
                unsigned char byte = static_cast<unsigned char>(c);
                if (byte == 0) {
                    return Fail("a NUL byte in a quoted text (texts cannot hold one)");
                }
                if (byte < 0x20 || byte >= 0x7F) {
                    std::string shown;
                    Quote(std::string(1, c), shown);
                    return Fail(
                        "the byte " + shown.substr(1, 4) +
                        " in a quoted text must be written as that escape (only space to ~ stand for themselves)");
                }
                text += c;
                continue;
            }
            if (m_pos >= m_line.size()) {
                break;
            }
            char e = m_line[m_pos++];
            if (e == '"' || e == '\\') {
                text += e;
            } else if (e == 'x' && m_pos + 1 < m_line.size() && HexDigit(m_line[m_pos]) >= 0 &&
                       HexDigit(m_line[m_pos + 1]) >= 0) {
                int value = HexDigit(m_line[m_pos]) * 16 + HexDigit(m_line[m_pos + 1]);
                m_pos += 2;
                if (value == 0) {
                    return Fail("\\x00: texts cannot hold a NUL byte");
                }
                text += static_cast<char>(value);
            } else {
                return Fail("unknown escape in a quoted text (use \\\", \\\\ or \\xHH)");
            }
        }
        return Expect('"', "the closing quote");
    }
    bool Number(std::uint32_t& value) {
        std::size_t start = m_pos;
        std::uint64_t result = 0;
        while (m_pos < m_line.size() && m_line[m_pos] >= '0' && m_line[m_pos] <= '9') {
            result = result * 10 + static_cast<std::uint64_t>(m_line[m_pos++] - '0');
            if (result > 0xFFFFFFFFu) {
                return Fail("number too large");
            }
        }
        if (m_pos == start) {
            return Fail("expected a decimal number");
        }
        value = static_cast<std::uint32_t>(result);
        return true;
    }
    bool Text(std::string& text, const char* key) {
        if (!Quoted(text)) {
            return false;
        }
        return text.size() <= kMaxText ||
               Fail(std::string(key) + " is longer than " + std::to_string(kMaxText) + " bytes");
    }

    // Attributes of a node of that kind.
    bool Attributes(Node& node) {
        std::string seen;
        while (!AtEnd()) {
            std::size_t at = m_pos;
            std::string key = Word();
            if (!Expect('=', "key=value")) {
                return false;
            }
            if (seen.find(" " + key + " ") != std::string::npos) {
                return Fail("key " + Shown(key) + " given twice");
            }
            seen += " " + key + " ";
            bool ok = false;
            if (node.kind == Kind::Node && key == "label") {
                ok = Text(node.label, "label");
            } else if (node.kind != Kind::RawData && key == "name") {
                ok = Text(node.name, "name");
            } else if (node.kind == Kind::Leaf && key == "value") {
                ok = Text(node.value, "value");
            } else if (node.kind == Kind::RawData && key == "size") {
                ok = node.hasSize = Number(node.size);
            } else if (node.kind == Kind::RawData && key == "block") {
                ok = node.hasBlock = Number(node.block);
            } else if (node.kind == Kind::RawData && key == "file") {
                ok = Quoted(node.file);
            } else {
                m_pos = at;
                return Fail("unknown key " + Shown(key));
            }
            if (!ok) {
                return false;
            }
            if (m_pos < m_line.size() && m_line[m_pos] != ' ') {
                return Fail("expected a space after a value");
            }
        }
        return true;
    }

private:
    const std::string& m_line;
    std::size_t m_pos;
    std::size_t m_number;
    std::string& m_error;
};

void Collect(Node& node, std::vector<Node*>& out) {
    if (node.kind == Kind::RawData) {
        out.push_back(&node);
    }
    for (Node& child : node.children) {
        Collect(child, out);
    }
}

} // namespace

std::uint32_t Stamp() { return OvChunkStampPack(ovLIBRARYVERSION, ovLIBRARYBUILD); }

bool Encode(const Document& doc, std::vector<std::uint8_t>& out, std::string& error) {
    std::uint32_t rawCount = 0;
    if (!CheckTree(doc.root, 1, rawCount, error)) {
        return false;
    }
    if (rawCount != doc.blocks.size()) {
        error = "the tree has " + std::to_string(rawCount) + " RawData nodes but " + std::to_string(doc.blocks.size()) +
                " blocks are given";
        return false;
    }
    std::uint64_t total = R::kMagicSize + 4 + EncodedSize(doc.root);
    for (const auto& block : doc.blocks) {
        total += kHeader + block.size();
    }
    if (total > 0xFFFFFFFFu) {
        error = "the file would be larger than 4 GiB";
        return false;
    }
    out.reserve(out.size() + total);
    Writer writer(out);
    out.insert(out.end(), R::kMagic, R::kMagic + R::kMagicSize);
    writer.U32(R::kVersion);
    std::uint32_t nextBlock = 0;
    writer.Tree(doc.root, doc, nextBlock);
    for (const auto& block : doc.blocks) {
        writer.Header(R::kChunkRawBlock, block.size());
        writer.Bytes(block);
    }
    return true;
}

bool Decode(const std::uint8_t* data, std::size_t size, Document& doc, std::string& error) {
    doc = Document();
    Reader reader(data, size, error);
    if (size < R::kMagicSize || std::memcmp(data, R::kMagic, R::kMagicSize) != 0) {
        return reader.Fail(0, "not an AI world file (magic \"ZUNA .AIS FILE\" missing)");
    }
    std::vector<std::uint8_t> skipped;
    std::uint32_t version = 0;
    if (!reader.Bytes(skipped, R::kMagicSize, "the magic") || !reader.U32(version, "the version")) {
        return false;
    }
    if (version != R::kVersion) {
        return reader.Fail(R::kMagicSize, "version " + std::to_string(version) + " is not 1");
    }
    std::vector<std::uint32_t> refSizes;
    if (!reader.Tree(doc.root, 1, refSizes)) {
        return false;
    }
    for (std::uint32_t i = 0; i < refSizes.size(); ++i) {
        std::size_t start = reader.Position();
        std::uint32_t type = 0;
        std::uint32_t length = 0;
        if (!reader.Header(type, length)) {
            return false;
        }
        if (type != R::kChunkRawBlock) {
            return reader.Fail(start, "chunk type " + Hex(type) + " where raw block " + std::to_string(i) + " belongs");
        }
        if (length != refSizes[i]) {
            return reader.Fail(start + 4, "raw block " + std::to_string(i) + " holds " + std::to_string(length) +
                                              " bytes, its reference says " + std::to_string(refSizes[i]));
        }
        doc.blocks.emplace_back();
        if (!reader.Bytes(doc.blocks.back(), length, "a raw block")) {
            return false;
        }
    }
    if (reader.Left() != 0) {
        return reader.Fail(reader.Position(), std::to_string(reader.Left()) + " bytes after the last raw block");
    }
    return true;
}

std::vector<Node*> RawDataNodes(Node& root) {
    std::vector<Node*> out;
    Collect(root, out);
    return out;
}

bool UnquoteText(const std::string& line, std::size_t& pos, std::size_t lineNumber, std::string& text,
                 std::string& error) {
    LineParser parser(line, pos, lineNumber, error);
    const bool ok = parser.Quoted(text);
    pos = parser.Position();
    return ok;
}

std::string Shown(const std::string& text) {
    std::string out;
    Quote(text, out);
    return out;
}

std::string FormatText(const Node& root) {
    std::string out;
    FormatLine(root, 0, out);
    return out;
}

bool ParseText(const std::string& text, Node& root, std::string& error) {
    root = Node();
    std::vector<Node*> path; // the last node read at each depth
    std::size_t number = 0;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(begin, end - begin);
        begin = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::size_t indent = line.find_first_not_of(' ');
        if (indent == std::string::npos || line[indent] == '#') {
            continue;
        }
        LineParser parser(line, indent, number, error);
        if (line[indent] == '\t') {
            return parser.Fail("indent with spaces, not tabs");
        }
        if (indent % 2 != 0) {
            return parser.Fail("indentation must be two spaces per level");
        }
        std::size_t depth = indent / 2;
        if (depth == 0 && !path.empty()) {
            return parser.Fail("a second root node (only one line may start without indentation)");
        }
        if (depth > path.size()) {
            return parser.Fail("indented deeper than one level below the line before");
        }
        if (depth > kMaxDepth - 1) {
            return parser.Fail("the tree is deeper than " + std::to_string(kMaxDepth) + " levels");
        }
        std::string kindWord = parser.Word();
        Node node;
        node.line = number;
        if (kindWord == "node") {
            node.kind = Kind::Node;
        } else if (kindWord == "leaf") {
            node.kind = Kind::Leaf;
        } else if (kindWord == "raw") {
            node.kind = Kind::RawData;
        } else {
            return parser.Fail("expected node, leaf or raw, found " + Shown(kindWord));
        }
        if (!parser.Attributes(node)) {
            return false;
        }
        path.resize(depth);
        Node* placed = &root;
        if (depth == 0) {
            root = std::move(node);
        } else {
            Node* parent = path.back();
            if (parent->kind != Kind::Node) {
                return parser.Fail("only node lines have children");
            }
            parent->children.push_back(std::move(node));
            placed = &parent->children.back();
        }
        path.push_back(placed);
    }
    if (path.empty()) {
        error = "the text holds no node";
        return false;
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "cannot read " + path;
        return false;
    }
    return true;
}

bool WriteWholeFile(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

} // namespace AisFormat
