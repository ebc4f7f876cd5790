// Neural nets: fully connected feed-forward networks of layers, each with a bias input, evaluated with
// a saturating linear activation. CNeuralNetManager keeps the world's nets by name; a net can also be
// read from and written to a file of the same "Neural Net" format.
//
// "Neural Net" format (little-endian, no padding): magic "Quelmor Neural Net" (18 bytes, no NUL),
// u32 version 1, u8 linear-output flag, i32 layer count K (at least 1), K x i32 neuron counts (input
// layer first), i32 weight count W, W x f32 weights in evaluation order: per target neuron of each
// layer after the first, its bias weight, then one weight per neuron of the layer before.
#pragma once

#include <cstdint>

#include "ai/navigation/resource_manager.h"

namespace Vusk {
class CDataReader;
}

class CNeuralLayer : public CEngineObject {
public:
  // n neurons; value 0 (the bias input) is 1, the others 0. Check GetValues for null (no memory).
  explicit CNeuralLayer(uint32_t neuronCount);
  CNeuralLayer(const CNeuralLayer&) = delete;
  CNeuralLayer& operator=(const CNeuralLayer&) = delete;
  ~CNeuralLayer() override;

  uint32_t GetNeuronCount() const { return m_neuronCount; }
  float* GetValues() const { return m_values; }  // n + 1 values, the bias first

private:
  uint32_t m_neuronCount;
  float* m_values;
};

class CNeuralNet : public CNamedResource {
public:
  static constexpr char kMagic[] = "Quelmor Neural Net";
  CNeuralNet() = default;
  CNeuralNet(const CNeuralNet&) = delete;
  CNeuralNet& operator=(const CNeuralNet&) = delete;
  ~CNeuralNet() override;  // every layer, the layer array and the weights when owned

  // Reads a "Neural Net" block. False when it cannot be opened, is malformed, or holds fewer weights
  // than its layers need (the net is then empty).
  bool Load(CConfigNode* rawData) override;
  // The same from a file opened through the host with mode "rb".
  virtual bool LoadFromFile(const char* fileName);
  // Writes the net through the host (mode "wb"); false for a null name, an empty net or a short write.
  virtual bool Save(const char* fileName);
  // 0 below 0 (and for NaN), x from 0 to 1, 1 above.
  virtual float Activate(float x);

  // Forward pass from the input layer's neurons to the output layer's.
  void Evaluate();
  // The input or output layer's neuron values (after the bias entry); null without layers.
  float* GetInputs() const;
  float* GetOutputs() const;

  int32_t GetLayerCount() const { return m_layerCount; }
  const CNeuralLayer* GetLayer(int32_t i) const { return i >= 0 && i < m_layerCount ? m_layers[i] : nullptr; }
  int32_t GetWeightCount() const { return m_weightCount; }
  const float* GetWeights() const { return m_weights; }
  bool IsLinearOutput() const { return m_linearOutput != 0; }
  bool IsLoaded() const { return m_loaded != 0; }
  // Builds the net from layer sizes and weights (copied); false when they do not make a net.
  bool Build(const int32_t* neuronCounts, int32_t layerCount, const float* weights, int32_t weightCount,
             bool linearOutput);
  // Weights the layers need: the sum over consecutive layers of count(next) x (count(previous) + 1).
  static uint64_t WeightsNeeded(const int32_t* neuronCounts, int32_t layerCount);
  // A layer size a net takes: at least 1, and a layer the machine can hold. In a net of two layers or
  // more the weights, which must be there, bound every layer as well (WeightsNeeded).
  static bool IsLayerSize(int32_t neuronCount);

  float m_learningRate = 0.0f;  // the three parameters set when a net loads; nothing reads them yet
  float m_momentum = 0.0f;
  float m_gain = 0.0f;

private:
  bool Read(Vusk::CDataReader& reader);
  void Clear();
  bool MakeLayers(const int32_t* neuronCounts, int32_t layerCount);

  CNeuralLayer** m_layers = nullptr;
  int32_t m_layerCount = 0;
  CNeuralLayer* m_inputLayer = nullptr;
  CNeuralLayer* m_outputLayer = nullptr;
  uint8_t m_linearOutput = 0;  // not 0: the output layer takes its sums without the activation
  float* m_weights = nullptr;
  int32_t m_weightCount = 0;
  uint8_t m_ownsWeights = 0;
  uint32_t m_cursor = 0;  // next weight during evaluation
  uint8_t m_loaded = 0;
};

class CNeuralNetManager : public CResourceManager {
public:
  static CGlobalServiceDesc s_classDesc;  // "CNeuralNetManager"
  static CGlobalService* Create();
  const CGlobalServiceDesc* GetClassDesc() const override;
  CNeuralNet* FindNet(const char* name) const { return static_cast<CNeuralNet*>(FindResource(name)); }

protected:
  const char* GetEntryKey() const override { return "NeuralNet"; }
  CNamedResource* CreateResource() override;
};
