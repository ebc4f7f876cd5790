#include "ai/runtime/engine_object.h"

#include "ai/runtime/allocator.h"

void* CEngineObject::operator new(std::size_t size) noexcept { return Vusk::EngineAllocate(size); }

void* CEngineObject::operator new[](std::size_t size) noexcept { return Vusk::EngineAllocate(size); }

void CEngineObject::operator delete(void* block) noexcept { Vusk::EngineFree(block); }

void CEngineObject::operator delete[](void* block) noexcept { Vusk::EngineFree(block); }
