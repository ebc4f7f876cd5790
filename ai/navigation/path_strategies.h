// The path finder's strategies: four small registries of named functions (stop conditions and
// sub-goal choosers, vertex finders, go/visibility checks, move builders) and the sixteen functions the
// engine registers in them at start-up. A path finder configuration picks each stage by name.
#pragma once

#include <cstdint>

#include "ai/navigation/path_finder.h"

// One named function of a strategy registry.
template <class Fn> struct CStrategyEntry {
  char m_name[256];  // name, at most 255 characters
  Fn m_function;     // the function
  int32_t m_index;   // slot in its registry; -1 when the registry was full
};

// A registry of at most 16 named functions. A later registration of the same name (exact
// comparison) takes the earlier one's slot; a registration into a full table sets the full flag
// and gets -1.
template <class Fn> class CStrategyRegistry {
public:
  static constexpr uint32_t kCapacity = 16;
  constexpr CStrategyRegistry() = default;

  int32_t Register(CStrategyEntry<Fn>* entry);
  // Entry of exactly that name; null when none.
  CStrategyEntry<Fn>* Find(const char* name) const;
  // Function registered under exactly that name; null when none.
  Fn FindFunction(const char* name) const;
  // Name under which a function is registered (the first slot holding it); null when none.
  const char* NameOf(Fn function) const;
  void Clear();
  uint32_t GetCount() const { return m_count; }
  bool IsFull() const { return m_full != 0; }

private:
  CStrategyEntry<Fn>* m_entries[kCapacity] = {};  // registered entries by slot
  uint32_t m_count = 0;                           // slots taken
  uint8_t m_full = 0;                             // a registration was refused
};

using CStopConditionRegistry = CStrategyRegistry<StopConditionFn>;
using CFindVertexRegistry = CStrategyRegistry<FindVertexFn>;
using CCanGoRegistry = CStrategyRegistry<CanGoFn>;
using CMoveRegistry = CStrategyRegistry<MoveFn>;

namespace Vusk {

CStopConditionRegistry& GetStopConditionRegistry();
CFindVertexRegistry& GetFindVertexRegistry();
CCanGoRegistry& GetCanGoRegistry();
CMoveRegistry& GetMoveRegistry();

// Stop conditions and sub-goal choosers.
bool SimpleStopCondition(CPathFinder* self);
bool SimpleCheck(CPathFinder* self);
bool ComplexCheck(CPathFinder* self);

// Vertex finders.
CGraphVertex* NearestVertex(CPathFinder* self, const CVector3& point, bool requireOutgoing, bool requireIncoming);
CGraphVertex* LocallyVisibleVertex(CPathFinder* self, const CVector3& point, bool requireOutgoing,
                                   bool requireIncoming);
CGraphVertex* NearestVertexOpt(CPathFinder* self, const CVector3& point, bool requireOutgoing, bool requireIncoming);

// Go decisions and checks.
bool VisibleGo(CPathFinder* self, const CVector3& point);
bool AlwaysGo(CPathFinder* self, const CVector3& point);
bool VisibleWithoutHoleGo(CPathFinder* self, const CVector3& point);
bool HoleCheck(CPathFinder* self, const CVector3& point);

// Move builders.
bool VisibleMove(CPathFinder* self, CMoveOrder* move, const CVector3& point);
bool InvisibleMove(CPathFinder* self, CMoveOrder* move, const CVector3& point);
bool VisibleAvoidDynMove(CPathFinder* self, CMoveOrder* move, const CVector3& point);
bool StopAndRelaunchPath(CPathFinder* self, CMoveOrder* move, const CVector3& point);

// Helpers of the strategies.
// Probes the floor on both sides of the way to point with downward lines of sight; true = a hole.
bool FindHoleAlong(CPathFinder* self, const CVector3& point);
// Direction from the owner to the free one of two points beside the way from `from` to target.
CVector3 ChooseFreeSide(CPathFinder* self, const CVector3& from, const CVector3& target);
void DetectDynamicThreats(CPathFinder* self, const CVector3& point);
void ComputeAvoidanceDirection(CPathFinder* self, const CVector3& point);
void ApplyAvoidance(CPathFinder* self, CMoveOrder* move);

}  // namespace Vusk
