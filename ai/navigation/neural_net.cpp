#include "ai/navigation/neural_net.h"

#include <cstring>

#include "ai/navigation/data_file.h"
#include "ai/runtime/allocator.h"

CGlobalServiceDesc CNeuralNetManager::s_classDesc("CNeuralNetManager", &CNeuralNetManager::Create, nullptr, false,
                                                  false);

CNeuralLayer::CNeuralLayer(uint32_t neuronCount)
    : m_neuronCount(neuronCount),
      m_values(static_cast<float*>(Vusk::EngineAllocate((static_cast<size_t>(neuronCount) + 1) * sizeof(float)))) {
  if (m_values == nullptr) return;
  m_values[0] = 1.0f;
  for (uint32_t i = 1; i <= neuronCount; ++i) m_values[i] = 0.0f;
}

CNeuralLayer::~CNeuralLayer() { Vusk::EngineFree(m_values); }

CNeuralNet::~CNeuralNet() { Clear(); }

void CNeuralNet::Clear() {
  for (int32_t i = 0; i < m_layerCount; ++i) delete m_layers[i];
  Vusk::EngineFree(m_layers);
  if (m_ownsWeights) Vusk::EngineFree(m_weights);
  m_layers = nullptr;
  m_layerCount = 0;
  m_inputLayer = m_outputLayer = nullptr;
  m_weights = nullptr;
  m_weightCount = 0;
  m_ownsWeights = 0;
  m_loaded = 0;
}

uint64_t CNeuralNet::WeightsNeeded(const int32_t* neuronCounts, int32_t layerCount) {
  // Each term is below 2^63; the sum stops at UINT64_MAX rather than wrap round.
  uint64_t needed = 0;
  for (int32_t i = 1; i < layerCount; ++i) {
    const uint64_t term = static_cast<uint64_t>(neuronCounts[i]) * (static_cast<uint64_t>(neuronCounts[i - 1]) + 1);
    needed = term > UINT64_MAX - needed ? UINT64_MAX : needed + term;
  }
  return needed;
}

bool CNeuralNet::IsLayerSize(int32_t neuronCount) {
  return neuronCount >= 1 && Vusk::FitsMachine(static_cast<uint64_t>(neuronCount) + 1, sizeof(float));
}

bool CNeuralNet::MakeLayers(const int32_t* neuronCounts, int32_t layerCount) {
  m_layers = static_cast<CNeuralLayer**>(Vusk::EngineAllocate(static_cast<size_t>(layerCount) * sizeof(CNeuralLayer*)));
  if (m_layers == nullptr) return false;
  for (int32_t i = 0; i < layerCount; ++i) {
    CNeuralLayer* layer = new CNeuralLayer(static_cast<uint32_t>(neuronCounts[i]));
    if (layer != nullptr && layer->GetValues() == nullptr) {
      delete layer;
      layer = nullptr;
    }
    if (layer == nullptr) return false;
    m_layers[m_layerCount++] = layer;
  }
  m_inputLayer = m_layers[0];
  m_outputLayer = m_layers[layerCount - 1];
  return true;
}

namespace {

// Reads `count` little-endian words into a new engine array (null on failure). The array grows as
// the words arrive, so a count that the source does not hold (a host file cannot tell its size)
// costs no more memory than twice the bytes it really holds.
uint32_t* ReadWords(Vusk::CDataReader& reader, uint32_t count) {
  constexpr uint32_t kFirstPiece = 1024;
  uint32_t capacity = count < kFirstPiece ? count : kFirstPiece;
  auto* words = static_cast<uint32_t*>(Vusk::EngineAllocate(static_cast<size_t>(capacity) * 4));
  for (uint32_t done = 0; words != nullptr && done < count;) {
    if (done == capacity) {
      const uint32_t grown = count - capacity < capacity ? count : capacity * 2;
      auto* larger = static_cast<uint32_t*>(Vusk::EngineAllocate(static_cast<size_t>(grown) * 4));
      if (larger != nullptr) std::memcpy(larger, words, static_cast<size_t>(done) * 4);
      Vusk::EngineFree(words);
      words = larger;
      capacity = grown;
      continue;
    }
    const uint32_t piece = capacity - done;
    auto* bytes = reinterpret_cast<uint8_t*>(words + done);
    if (!reader.ReadBytes(bytes, static_cast<size_t>(piece) * 4)) {
      Vusk::EngineFree(words);
      return nullptr;
    }
    for (uint32_t i = 0; i < piece; ++i) words[done + i] = Vusk::LoadU32(bytes + static_cast<size_t>(i) * 4);
    done += piece;
  }
  return words;
}

}  // namespace

bool CNeuralNet::Read(Vusk::CDataReader& reader) {
  Clear();
  if (!reader.Open()) return false;
  uint8_t linear = 0;
  int32_t layerCount = 0;
  if (!reader.ReadHeader(kMagic) || !reader.ReadBytes(&linear, 1) || !reader.ReadI32(&layerCount)) return false;
  // Every layer takes 4 bytes of the source, so its size (when known) bounds the count.
  if (layerCount < 1 || static_cast<uint64_t>(layerCount) > reader.BoundCount(4, UINT32_MAX)) return false;
  auto* counts = reinterpret_cast<int32_t*>(ReadWords(reader, static_cast<uint32_t>(layerCount)));
  bool ok = counts != nullptr;
  for (int32_t i = 0; i < layerCount && ok; ++i) ok = IsLayerSize(counts[i]);
  int32_t weightCount = 0;
  ok = ok && reader.ReadI32(&weightCount) && weightCount >= 1 &&
       static_cast<uint64_t>(weightCount) >= WeightsNeeded(counts, layerCount) &&
       static_cast<uint64_t>(weightCount) <= reader.BoundCount(4, UINT32_MAX);
  // The weights before the layers: the layers' sizes are then backed by weights that arrived.
  uint32_t* bits = ok ? ReadWords(reader, static_cast<uint32_t>(weightCount)) : nullptr;
  ok = bits != nullptr;
  if (ok) {
    m_weights = reinterpret_cast<float*>(bits);
    m_ownsWeights = 1;
    m_weightCount = weightCount;
    for (int32_t i = 0; i < weightCount; ++i) m_weights[i] = Vusk::BitsToFloat(bits[i]);
    m_linearOutput = linear;  // kept as read, so that Save writes the same byte
    ok = MakeLayers(counts, layerCount);
  }
  Vusk::EngineFree(counts);
  reader.Close();
  if (!ok) {
    Clear();
    return false;
  }
  m_loaded = 1;
  m_learningRate = 0.5f;
  m_momentum = 0.1f;
  m_gain = 1.0f;
  return true;
}

bool CNeuralNet::Load(CConfigNode* rawData) {
  Vusk::CRawDataReader reader(rawData);
  return Read(reader);
}

bool CNeuralNet::LoadFromFile(const char* fileName) {
  Vusk::CHostFileReader reader(fileName);
  return Read(reader);
}

bool CNeuralNet::Build(const int32_t* neuronCounts, int32_t layerCount, const float* weights, int32_t weightCount,
                       bool linearOutput) {
  Clear();
  if (neuronCounts == nullptr || layerCount < 1 || weightCount < 1 || weights == nullptr) return false;
  for (int32_t i = 0; i < layerCount; ++i) {
    if (!IsLayerSize(neuronCounts[i])) return false;
  }
  if (static_cast<uint64_t>(weightCount) < WeightsNeeded(neuronCounts, layerCount)) return false;
  m_linearOutput = linearOutput ? 1 : 0;
  m_weights = static_cast<float*>(Vusk::EngineAllocate(static_cast<size_t>(weightCount) * sizeof(float)));
  m_ownsWeights = 1;
  if (m_weights == nullptr || !MakeLayers(neuronCounts, layerCount)) {
    Clear();
    return false;
  }
  std::memcpy(m_weights, weights, static_cast<size_t>(weightCount) * sizeof(float));
  m_weightCount = weightCount;
  m_loaded = 1;
  m_learningRate = 0.5f;
  m_momentum = 0.1f;
  m_gain = 1.0f;
  return true;
}

bool CNeuralNet::Save(const char* fileName) {
  if (fileName == nullptr || m_layerCount < 1 || m_weightCount < 1) return false;
  Vusk::CDataWriter writer;
  if (!writer.Open(fileName)) return false;
  bool ok = writer.WriteHeader(kMagic) && writer.Write(&m_linearOutput, 1, 1) && writer.WriteI32(m_layerCount);
  for (int32_t i = 0; i < m_layerCount && ok; ++i) {
    ok = writer.WriteI32(static_cast<int32_t>(m_layers[i]->GetNeuronCount()));
  }
  ok = ok && writer.WriteI32(m_weightCount);
  if (ok) {
    // The weights go out from a little-endian copy as one item.
    const size_t bytes = static_cast<size_t>(m_weightCount) * 4;
    auto* copy = static_cast<uint8_t*>(Vusk::EngineAllocate(bytes));
    ok = copy != nullptr;
    if (ok) {
      for (int32_t i = 0; i < m_weightCount; ++i) Vusk::StoreU32(copy + i * 4, Vusk::FloatBits(m_weights[i]));
      ok = writer.Write(copy, bytes, 1);
    }
    Vusk::EngineFree(copy);
  }
  writer.Close();
  return ok;
}

float CNeuralNet::Activate(float x) {
  if (!(x >= 0.0f)) return 0.0f;
  return x > 1.0f ? 1.0f : x;
}

void CNeuralNet::Evaluate() {
  m_cursor = 0;
  for (int32_t l = 1; l < m_layerCount; ++l) {
    const CNeuralLayer* from = m_layers[l - 1];
    CNeuralLayer* to = m_layers[l];
    const float* in = from->GetValues();
    float* out = to->GetValues();
    const bool linear = m_linearOutput && to == m_outputLayer;
    for (uint32_t j = 1; j <= to->GetNeuronCount(); ++j) {
      // Nets are refused at load when their weights fall short; this only guards hand-made ones.
      if (m_cursor + from->GetNeuronCount() + 1 > static_cast<uint32_t>(m_weightCount)) return;
      float sum = 0.0f;
      for (uint32_t i = 0; i <= from->GetNeuronCount(); ++i) sum += m_weights[m_cursor++] * in[i];
      out[j] = linear ? sum : Activate(sum);
    }
  }
}

float* CNeuralNet::GetInputs() const { return m_inputLayer != nullptr ? m_inputLayer->GetValues() + 1 : nullptr; }

float* CNeuralNet::GetOutputs() const { return m_outputLayer != nullptr ? m_outputLayer->GetValues() + 1 : nullptr; }

CGlobalService* CNeuralNetManager::Create() { return new CNeuralNetManager(); }

const CGlobalServiceDesc* CNeuralNetManager::GetClassDesc() const { return &s_classDesc; }

CNamedResource* CNeuralNetManager::CreateResource() { return new CNeuralNet(); }
