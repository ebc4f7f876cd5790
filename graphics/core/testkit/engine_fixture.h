#pragma once
// Brings the graphics engine up on the null driver for tests and takes it down again.
//
//   OvTestEngineUp();   // init (null driver), open, start; file-system manager with a default
//                       // file system that takes names as they are; no error held
//   ... test ...
//   OvTestEngineDown(); // stop, close, term; file-system manager closed
//
// Link gfx_core_testkit. GoogleTest users can derive from OvEngineTest (engine_test.h).

#include "graphics/core/engine.h"
#include "graphics/core/pipeline.h"

// Runs between init and open, where engine plugins and object extensions are registered.
using OvTestEngineRegisterFunction = void (*)();

// TRUE when every step succeeded; on failure whatever was brought up is taken down again.
// driver: the one to run on (null: the null driver).
// openData is what the engine's open hands the driver (null: a stand-in the test drivers accept;
// the Direct3D 9 driver takes a pointer to the window).
OvBool OvTestEngineUp(OvUInt32 initFlags = 0, OvTestEngineRegisterFunction registerPlugins = nullptr,
                      const OvDriver* driver = nullptr, void* openData = nullptr);
// TRUE when every step succeeded.
OvBool OvTestEngineDown();

// A pipeline of the one node `definition` (which must outlive it): created, locked, filled and
// unlocked, ready to execute; null when a step fails.
OvPipeline* OvTestOneNodePipeline(OvNodeDefinition* definition);
