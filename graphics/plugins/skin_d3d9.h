#pragma once
// The skinned-atomic pipeline on Direct3D 9: one node, "nodeD3D9SkinAtomicAllInOne.qxl", that
// instances and draws skinned atomics in one of two ways chosen when the data is instanced.
// - Vertex shaders (the device offers hardware vertex processing, vs and ps 1.1 and enough
//   constants for the palette): everything is written once into one static stream with blend
//   weights and blend indices (register offsets, 3 x palette slot); each mesh is drawn by a
//   generated shader with the skin's weights, its palette uploaded beside the lights.
// - Processor: positions and normals live in a dynamic stream that is rewritten at every render
//   with the vertices skinned by the palette (the bind pose without a hierarchy); the geometry's
//   own vertices are never touched. The meshes are then drawn by the atomic render callback.
// The palette is built once per hierarchy, skin, atomic frame and render frame.

#include "graphics/plugins/skin_shader.h"
#include "graphics/world/d3d9_pipeline.h"

struct OvNodeDefinition;
struct OvPipeline;

OvNodeDefinition* OvNodeD3D9SkinAtomicAllInOneGetDefinition();

// The skinned-atomic pipeline (made at the skin plugin's first engine open), or null.
OvPipeline* OvSkinGetAtomicPipeline();
// What the device offered when the pipeline was made.
const OvSkinD3D9Caps* OvSkinD3D9GetCaps();

// The pipeline's callbacks (the node's private block holds them and the accessors of the atomic
// node replace them). The instance callback leaves atomics without a skin, and native ones, to
// the atomic node's instancing.
OvBool OvSkinD3D9AtomicInstance(void* object, OvD3D9InstancedData* data, OvBool reinstance);
OvBool OvSkinD3D9AtomicReinstance(void* object, OvResourceEntry* entry, OvD3D9InstanceCallBack instance);
void OvSkinD3D9RenderCallback(OvResourceEntry* entry, void* object, OvUInt8 type, OvUInt32 flags);

// Whether instanced data was made for the shader path (its declaration has blend indices).
OvBool OvSkinD3D9DataUsesVertexShader(const OvD3D9InstancedData* data);

// Pipeline made and dropped with the plugin's engine open and close.
OvBool OvSkinD3D9PipelineOpen();
void OvSkinD3D9PipelineClose();
