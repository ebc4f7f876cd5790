#include "ai/navigation/path_way.h"

#include <cstdio>
#include <cstring>

#include "ai/navigation/data_file.h"

CGlobalServiceDesc CPathWayManager::s_classDesc("CPathWayManager", &CPathWayManager::Create, nullptr, false, false);

namespace {
const char* const kModeNames[] = {"walk", "run", "jump", "crouch"};
}

CPathWayStep::CPathWayStep() : m_moveMode{}, m_command{} { std::strcpy(m_moveMode, "walk"); }

CPathWay::~CPathWay() { delete[] m_steps; }

void CPathWay::OnStepMoved(uint32_t, uint32_t) {}

bool CPathWay::InsertStep(const CPathWayStep& step, int32_t index) {
  const uint32_t at = index == kAppend ? m_stepCount : static_cast<uint32_t>(index);
  if (index < 0 && index != kAppend) return false;
  if (at > m_stepCount) return false;
  if (m_stepCount == m_capacity) {
    // Doubling keeps loading linear in the step count: a long path way is appended to one step at a time.
    const uint64_t grown = m_capacity == 0 ? kFirstCapacity : uint64_t(m_capacity) * 2;
    if (grown > kMaxSteps) return false;
    CPathWayStep* fresh = new CPathWayStep[grown];
    if (fresh == nullptr) return false;
    for (uint32_t i = 0; i < at; ++i) fresh[i] = m_steps[i];
    for (uint32_t i = at; i < m_stepCount; ++i) fresh[i + 1] = m_steps[i];
    delete[] m_steps;
    m_steps = fresh;
    m_capacity = static_cast<uint32_t>(grown);
  } else {
    for (uint32_t i = m_stepCount; i > at; --i) m_steps[i] = m_steps[i - 1];
  }
  CPathWayStep& fresh = m_steps[at];
  fresh.m_position = step.m_position;
  std::memcpy(fresh.m_moveMode, step.m_moveMode, CPathWayStep::kModeSize);
  std::memcpy(fresh.m_command, step.m_command, CPathWayStep::kCommandSize);
  fresh.m_moveMode[CPathWayStep::kModeSize - 1] = '\0';
  fresh.m_command[CPathWayStep::kCommandSize - 1] = '\0';
  for (uint32_t i = m_stepCount; i > at; --i) OnStepMoved(i - 1, i);
  ++m_stepCount;
  return true;
}

bool CPathWay::Load(CConfigNode* rawData) {
  m_stepCount = 0;
  m_flag = 0;
  Vusk::CRawDataReader reader(rawData);
  if (!reader.Open() || !reader.ReadHeader(kMagic)) return false;
  CPathWayStep step;
  step.m_moveMode[0] = '\0';
  uint32_t length = 0;
  if (!reader.ReadU32(&length) || length >= kNameSize) return false;
  if (!reader.ReadBytes(m_name, length)) return false;
  m_name[length] = '\0';
  uint8_t flag = 0;
  if (!reader.ReadBytes(&flag, 1)) return false;
  SetFlag(flag);
  uint8_t type = 0;
  if (!reader.ReadBytes(&type, 1)) return false;
  while (type != kEnd) {
    if (type >= kWalk && type <= kCrouch) {
      float xyz[3];
      if (!reader.ReadF32(&xyz[0]) || !reader.ReadF32(&xyz[1]) || !reader.ReadF32(&xyz[2])) return false;
      if (step.m_moveMode[0] != '\0') {
        if (!InsertStep(step, kAppend)) return false;
        step = CPathWayStep();
        step.m_command[0] = '\0';
      }
      step.m_position.Set(xyz[0], xyz[1], xyz[2]);
      std::strcpy(step.m_moveMode, kModeNames[type - kWalk]);
    } else if (type >= kPause && type <= kOrient) {
      float value = 0.0f;
      if (!reader.ReadF32(&value)) return false;
      static const char* const kWords[] = {"pause", "rotate", "orient"};
      std::snprintf(step.m_command, sizeof step.m_command, "%s %f\n", kWords[type - kPause], value);
    } else if (type == kCommandText) {
      // The field holds 64 bytes from the block; the last one is kept for the terminator.
      if (!reader.ReadBytes(step.m_command, CPathWayStep::kCommandSize)) return false;
      step.m_command[CPathWayStep::kCommandSize - 1] = '\0';
    }
    if (!reader.ReadBytes(&type, 1)) return false;
  }
  if (step.m_moveMode[0] != '\0' && !InsertStep(step, kAppend)) return false;
  return true;
}

CGlobalService* CPathWayManager::Create() { return new CPathWayManager(); }

const CGlobalServiceDesc* CPathWayManager::GetClassDesc() const { return &s_classDesc; }

CNamedResource* CPathWayManager::CreateResource() { return new CPathWay(); }
