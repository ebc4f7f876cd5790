#include "tools/aires/resource_text.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "ai/navigation/neural_net.h"
#include "ai/navigation/path_way.h"
#include "tools/ais_format/ais_format.h"

namespace AiRes {
namespace {

// The engine's field sizes: a name or command keeps a byte for its terminator.
constexpr std::size_t kCommandSize = CPathWayStep::kCommandSize;
constexpr std::size_t kMaxName = CPathWay::kNameSize - 1;
const char* const kModes[] = {"walk", "run", "jump", "crouch"};
const char* const kCommands[] = {"pause", "rotate", "orient"};

void PutU32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void PutF32(Bytes& out, float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, 4);
    PutU32(out, bits);
}

void PutText(Bytes& out, const char* text) { out.insert(out.end(), text, text + std::strlen(text)); }

// Sequential reader that names the offset of a short read.
class Cursor {
public:
    Cursor(const Bytes& bytes, std::string& error) : m_bytes(bytes), m_error(error) {}
    bool Fail(const std::string& message) {
        m_error = "offset " + std::to_string(m_pos) + ": " + message;
        return false;
    }
    bool Take(std::size_t n, const char* what) {
        if (m_bytes.size() - m_pos < n)
            return Fail(std::string("the block ends inside ") + what);
        m_pos += n;
        return true;
    }
    bool U8(std::uint8_t& v, const char* what) {
        if (!Take(1, what))
            return false;
        v = m_bytes[m_pos - 1];
        return true;
    }
    bool U32(std::uint32_t& v, const char* what) {
        if (!Take(4, what))
            return false;
        v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<std::uint32_t>(m_bytes[m_pos - 4 + i]) << (8 * i);
        return true;
    }
    bool F32(float& v, const char* what) {
        std::uint32_t bits;
        if (!U32(bits, what))
            return false;
        std::memcpy(&v, &bits, 4);
        return true;
    }
    bool Header(const char* magic) {
        const std::size_t n = std::strlen(magic);
        if (m_bytes.size() < n || std::memcmp(m_bytes.data(), magic, n) != 0)
            return Fail(std::string("no \"") + magic + "\" magic");
        m_pos = n;
        std::uint32_t version = 0;
        if (!U32(version, "the version"))
            return false;
        if (version != 1) {
            m_pos -= 4;
            return Fail("version " + std::to_string(version) + " (only 1 is known)");
        }
        return true;
    }
    const std::uint8_t* Here() const { return m_bytes.data() + m_pos; }
    std::size_t Position() const { return m_pos; }
    bool AtEnd() const { return m_pos == m_bytes.size(); }

private:
    const Bytes& m_bytes;
    std::string& m_error;
    std::size_t m_pos = 0;
};

// A float as the shortest text that reads back to the same bits.
std::string Number(float v) {
    char text[32];
    for (int digits = 6; digits <= 9; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(v));
        if (std::strtof(text, nullptr) == v || std::isnan(v))
            break;
    }
    return text;
}

// The weights a net's layers need, as the engine counts them.
std::uint64_t WeightsNeeded(const NeuralNet& net) {
    return CNeuralNet::WeightsNeeded(net.layers.data(), static_cast<std::int32_t>(net.layers.size()));
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Lines of the text form without comments and blank lines, with their numbers.
std::vector<std::pair<std::size_t, std::string>> Lines(const std::string& text) {
    std::vector<std::pair<std::size_t, std::string>> lines;
    std::istringstream in(text);
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#')
            continue;
        lines.emplace_back(number, line.substr(first));
    }
    return lines;
}

std::string LineError(std::size_t number, const std::string& message) {
    return "line " + std::to_string(number) + ": " + message;
}

// Whole-text float; false for anything else. "nan", "inf" and their negatives stand for the values
// a block may hold (a NaN's payload is not kept).
bool ParseFloat(const std::string& word, float& value) {
    if (word.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtof(word.c_str(), &end);
    // A number too large for a float is refused; one too small to be exact is kept as it reads.
    return *end == '\0' && !(errno == ERANGE && std::isinf(value));
}

bool ParseInt(const std::string& word, long long low, long long high, long long& value) {
    if (word.empty())
        return false;
    char* end = nullptr;
    value = std::strtoll(word.c_str(), &end, 10);
    return *end == '\0' && value >= low && value <= high;
}

// "key=value" attribute of a header line; the value is quoted for name.
bool ParsePathWayText(const std::vector<std::pair<std::size_t, std::string>>& lines, PathWay& way, std::string& error) {
    const std::size_t headerLine = lines[0].first;
    const std::string& header = lines[0].second;
    std::size_t pos = std::strlen("pathway");
    bool haveName = false;
    while (pos < header.size()) {
        while (pos < header.size() && header[pos] == ' ')
            ++pos;
        if (pos >= header.size())
            break;
        if (header.compare(pos, 5, "name=") == 0) {
            pos += 5;
            if (!AisFormat::UnquoteText(header, pos, headerLine, way.name, error))
                return false;
            if (way.name.size() > kMaxName) {
                error = LineError(headerLine, "the name is longer than 255 bytes");
                return false;
            }
            haveName = true;
        } else if (header.compare(pos, 5, "flag=") == 0) {
            pos += 5;
            const std::size_t end = header.find(' ', pos);
            long long flag = 0;
            if (!ParseInt(header.substr(pos, end - pos), 0, 255, flag)) {
                error = LineError(headerLine, "flag must be 0-255");
                return false;
            }
            way.flag = static_cast<std::uint8_t>(flag);
            pos = end == std::string::npos ? header.size() : end;
        } else {
            error = LineError(headerLine, "expected name=\"...\" or flag=N");
            return false;
        }
    }
    if (!haveName) {
        error = LineError(headerLine, "the pathway line needs name=\"...\"");
        return false;
    }
    std::uint64_t positions = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::size_t number = lines[i].first;
        const std::string& line = lines[i].second;
        std::istringstream words(line);
        std::string word;
        words >> word;
        PathWayRecord record;
        bool known = false;
        for (int m = 0; m < 4; ++m) {
            if (word == kModes[m]) {
                std::string x, y, z, extra;
                words >> x >> y >> z;
                if (!ParseFloat(x, record.x) || !ParseFloat(y, record.y) || !ParseFloat(z, record.z) ||
                    (words >> extra)) {
                    error = LineError(number, word + " needs three numbers: x y z");
                    return false;
                }
                record.type = static_cast<std::uint8_t>(1 + m);
                known = true;
                if (++positions > CPathWay::kMaxSteps) {
                    error = LineError(number, "more than " + std::to_string(CPathWay::kMaxSteps) +
                                                  " steps, as many as a path way holds");
                    return false;
                }
            }
        }
        for (int c = 0; c < 3; ++c) {
            if (word == kCommands[c]) {
                std::string v, extra;
                words >> v;
                if (!ParseFloat(v, record.value) || (words >> extra)) {
                    error = LineError(number, word + " needs one number");
                    return false;
                }
                record.type = static_cast<std::uint8_t>(11 + c);
                known = true;
            }
        }
        if (word == "command") {
            std::size_t pos = line.find_first_not_of(' ', word.size());
            if (pos == std::string::npos || !AisFormat::UnquoteText(line, pos, number, record.text, error)) {
                if (pos == std::string::npos)
                    error = LineError(number, "command needs a quoted text");
                return false;
            }
            if (record.text.size() >= kCommandSize) {
                error = LineError(number, "the command is longer than 63 bytes");
                return false;
            }
            if (line.find_first_not_of(' ', pos) != std::string::npos) {
                error = LineError(number, "text after the command");
                return false;
            }
            record.type = 14;
            known = true;
        } else if (word == "skip") {
            long long type = 0;
            std::string t, extra;
            words >> t;
            if (!ParseInt(t, 5, 255, type) || (type >= 11 && type <= 14) || (words >> extra)) {
                error = LineError(number, "skip needs a record type that means nothing: 5-10 or 15-255");
                return false;
            }
            record.type = static_cast<std::uint8_t>(type);
            known = true;
        }
        if (!known) {
            error = LineError(number, "unknown record '" + word +
                                          "' (walk, run, jump, crouch, pause, rotate, orient, command, skip)");
            return false;
        }
        way.records.push_back(record);
    }
    return true;
}

bool ParseNeuralNetText(const std::vector<std::pair<std::size_t, std::string>>& lines, NeuralNet& net,
                        std::string& error) {
    const std::size_t headerLine = lines[0].first;
    const std::string& header = lines[0].second;
    std::istringstream head(header.substr(std::strlen("neuralnet")));
    std::string attribute;
    while (head >> attribute) {
        long long linear = 0;
        if (attribute.compare(0, 7, "linear=") == 0 && ParseInt(attribute.substr(7), 0, 255, linear)) {
            net.linear = static_cast<std::uint8_t>(linear);
        } else {
            error = LineError(headerLine, "expected linear=N, N from 0 to 255 (0: the output layer is saturated too)");
            return false;
        }
    }
    bool haveLayers = false;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::size_t number = lines[i].first;
        std::istringstream words(lines[i].second);
        std::string word, value;
        words >> word;
        if (word == "layers") {
            if (haveLayers) {
                error = LineError(number, "a second layers line");
                return false;
            }
            haveLayers = true;
            while (words >> value) {
                long long count = 0;
                if (!ParseInt(value, 1, 2147483647, count) || !CNeuralNet::IsLayerSize(static_cast<std::int32_t>(count))) {
                    error = LineError(number, "a layer size must be 1-2147483647 and fit in this machine's memory, not '" +
                                                  value + "'");
                    return false;
                }
                net.layers.push_back(static_cast<std::int32_t>(count));
            }
            if (net.layers.empty()) {
                error = LineError(number, "layers needs at least one size");
                return false;
            }
        } else if (word == "weights") {
            while (words >> value) {
                float w = 0;
                if (!ParseFloat(value, w)) {
                    error = LineError(number, "'" + value + "' is not a number");
                    return false;
                }
                net.weights.push_back(w);
            }
        } else {
            error = LineError(number, "unknown line '" + word + "' (layers, weights)");
            return false;
        }
    }
    if (!haveLayers) {
        error = "the text has no layers line";
        return false;
    }
    const std::uint64_t needed = WeightsNeeded(net);
    if (net.weights.empty() || net.weights.size() < needed) {
        error = "the layers need " + std::to_string(needed) + " weights (at least 1), the text gives " +
                std::to_string(net.weights.size());
        return false;
    }
    return true;
}

} // namespace

Bytes EncodePathWay(const PathWay& way) {
    Bytes out;
    PutText(out, kPathWayMagic);
    PutU32(out, 1);
    PutU32(out, static_cast<std::uint32_t>(way.name.size()));
    out.insert(out.end(), way.name.begin(), way.name.end());
    out.push_back(way.flag);
    for (const PathWayRecord& record : way.records) {
        out.push_back(record.type);
        if (record.type >= 1 && record.type <= 4) {
            PutF32(out, record.x);
            PutF32(out, record.y);
            PutF32(out, record.z);
        } else if (record.type >= 11 && record.type <= 13) {
            PutF32(out, record.value);
        } else if (record.type == 14) {
            std::string field = record.text.substr(0, kCommandSize);
            field.resize(kCommandSize, '\0');
            out.insert(out.end(), field.begin(), field.end());
        }
    }
    out.push_back(0);
    return out;
}

Bytes EncodeNeuralNet(const NeuralNet& net) {
    Bytes out;
    PutText(out, kNeuralNetMagic);
    PutU32(out, 1);
    out.push_back(net.linear);
    PutU32(out, static_cast<std::uint32_t>(net.layers.size()));
    for (std::int32_t count : net.layers)
        PutU32(out, static_cast<std::uint32_t>(count));
    PutU32(out, static_cast<std::uint32_t>(net.weights.size()));
    for (float w : net.weights)
        PutF32(out, w);
    return out;
}

bool DecodePathWay(const Bytes& bytes, PathWay& way, std::string& error) {
    way = PathWay();
    Cursor in(bytes, error);
    std::uint32_t length = 0;
    if (!in.Header(kPathWayMagic) || !in.U32(length, "the name length"))
        return false;
    if (length > kMaxName)
        return in.Fail("name length " + std::to_string(length) + " (at most 255)");
    const std::uint8_t* name = in.Here();
    if (!in.Take(length, "the name") || !in.U8(way.flag, "the flag"))
        return false;
    // The engine keeps the name as a C string: up to its first NUL.
    way.name.assign(reinterpret_cast<const char*>(name), strnlen(reinterpret_cast<const char*>(name), length));
    std::uint64_t positions = 0;
    for (;;) {
        PathWayRecord record;
        if (!in.U8(record.type, "the record list (no closing record of type 0)"))
            return false;
        if (record.type == 0)
            break;
        bool ok = true;
        if (record.type >= 1 && record.type <= 4) {
            if (++positions > CPathWay::kMaxSteps)
                return in.Fail("more than " + std::to_string(CPathWay::kMaxSteps) + " steps, as many as a path way holds");
            ok = in.F32(record.x, "a position") && in.F32(record.y, "a position") && in.F32(record.z, "a position");
        } else if (record.type >= 11 && record.type <= 13) {
            ok = in.F32(record.value, "a command value");
        } else if (record.type == 14) {
            const std::uint8_t* text = in.Here();
            ok = in.Take(kCommandSize, "a command text");
            // The engine keeps at most 63 bytes of the field, up to its first NUL.
            if (ok)
                record.text.assign(reinterpret_cast<const char*>(text),
                                   strnlen(reinterpret_cast<const char*>(text), kCommandSize - 1));
        }
        if (!ok)
            return false;
        way.records.push_back(record);
    }
    if (!in.AtEnd())
        return in.Fail("bytes after the closing record");
    return true;
}

bool DecodeNeuralNet(const Bytes& bytes, NeuralNet& net, std::string& error) {
    net = NeuralNet();
    Cursor in(bytes, error);
    std::uint8_t linear = 0;
    std::uint32_t layerCount = 0;
    if (!in.Header(kNeuralNetMagic) || !in.U8(linear, "the linear flag") || !in.U32(layerCount, "the layer count"))
        return false;
    net.linear = linear;
    if (layerCount < 1 || layerCount > (bytes.size() - in.Position()) / 4)
        return in.Fail("layer count " + std::to_string(static_cast<std::int32_t>(layerCount)));
    for (std::uint32_t i = 0; i < layerCount; ++i) {
        std::uint32_t count = 0;
        if (!in.U32(count, "the layer sizes"))
            return false;
        if (!CNeuralNet::IsLayerSize(static_cast<std::int32_t>(count)))
            return in.Fail("layer size " + std::to_string(static_cast<std::int32_t>(count)) +
                           " (1-2147483647, and a layer this machine's memory holds)");
        net.layers.push_back(static_cast<std::int32_t>(count));
    }
    std::uint32_t weightCount = 0;
    if (!in.U32(weightCount, "the weight count"))
        return false;
    const std::uint64_t needed = WeightsNeeded(net);
    if (weightCount < 1 || weightCount < needed || weightCount > (bytes.size() - in.Position()) / 4)
        return in.Fail("weight count " + std::to_string(static_cast<std::int32_t>(weightCount)) + " (the layers need " +
                       std::to_string(needed) + ", the block holds " +
                       std::to_string((bytes.size() - in.Position()) / 4) + ")");
    for (std::uint32_t i = 0; i < weightCount; ++i) {
        float w = 0;
        in.F32(w, "the weights");
        net.weights.push_back(w);
    }
    if (!in.AtEnd())
        return in.Fail("bytes after the weights");
    return true;
}

std::string FormatPathWay(const PathWay& way) {
    std::string out = "pathway name=";
    out += AisFormat::Shown(way.name);
    out += " flag=" + std::to_string(way.flag) + "\n";
    for (const PathWayRecord& record : way.records) {
        if (record.type >= 1 && record.type <= 4) {
            out += std::string(kModes[record.type - 1]) + " " + Number(record.x) + " " + Number(record.y) + " " +
                   Number(record.z);
        } else if (record.type >= 11 && record.type <= 13) {
            out += std::string(kCommands[record.type - 11]) + " " + Number(record.value);
        } else if (record.type == 14) {
            out += "command ";
            out += AisFormat::Shown(record.text);
        } else {
            out += "skip " + std::to_string(record.type);
        }
        out += "\n";
    }
    return out;
}

std::string FormatNeuralNet(const NeuralNet& net) {
    std::string out = "neuralnet linear=" + std::to_string(net.linear) + "\nlayers";
    // Appended piece by piece: `" " + temporary` trips a false -Wrestrict of GCC 12 at -O3.
    for (std::int32_t count : net.layers) {
        out += ' ';
        out += std::to_string(count);
    }
    out += "\n";
    for (std::size_t i = 0; i < net.weights.size(); ++i) {
        out += i % 8 == 0 ? "weights" : "";
        out += ' ';
        out += Number(net.weights[i]);
        if (i % 8 == 7 || i + 1 == net.weights.size())
            out += "\n";
    }
    return out;
}

bool ParseText(const std::string& text, Bytes& block, std::string& error) {
    const auto lines = Lines(text);
    if (lines.empty()) {
        error = "the text is empty";
        return false;
    }
    const std::string& first = lines[0].second;
    if (StartsWith(first, "pathway") && (first.size() == 7 || first[7] == ' ')) {
        PathWay way;
        if (!ParsePathWayText(lines, way, error))
            return false;
        block = EncodePathWay(way);
        return true;
    }
    if (StartsWith(first, "neuralnet") && (first.size() == 9 || first[9] == ' ')) {
        NeuralNet net;
        if (!ParseNeuralNetText(lines, net, error))
            return false;
        block = EncodeNeuralNet(net);
        return true;
    }
    error = LineError(lines[0].first, "the first line must start with 'pathway' or 'neuralnet'");
    return false;
}

bool FormatBlock(const Bytes& block, std::string& text, std::string& error) {
    if (block.size() >= std::strlen(kPathWayMagic) &&
        std::memcmp(block.data(), kPathWayMagic, std::strlen(kPathWayMagic)) == 0) {
        PathWay way;
        if (!DecodePathWay(block, way, error))
            return false;
        text = FormatPathWay(way);
        return true;
    }
    if (block.size() < std::strlen(kNeuralNetMagic) ||
        std::memcmp(block.data(), kNeuralNetMagic, std::strlen(kNeuralNetMagic)) != 0) {
        error = "neither a path-way nor a neural-net block (no known magic)";
        return false;
    }
    NeuralNet net;
    if (!DecodeNeuralNet(block, net, error))
        return false;
    text = FormatNeuralNet(net);
    return true;
}

} // namespace AiRes
