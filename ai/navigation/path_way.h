// Path ways: named, authored routes. A path way is a list of steps, each a position with a way of
// moving there ("walk", "run", "jump", "crouch") and at most one command to carry out there
// ("pause 2", "rotate 90", "orient -90" or a free text), and a flag byte that the agents following
// it read (the path-way agent: start again after the last step). CPathWayManager keeps the world's
// path ways by name.
//
// "Path Way" block (little-endian): magic "Quelmor Path Way" (16 bytes, no NUL), u32 version 1,
// u32 name length L (at most 255), L name bytes, u8 flag, then records {u8 type, payload} up to a
// record of type 0:
//   1-4      f32 x, y, z   a new step moving in mode 1 "walk", 2 "run", 3 "jump", 4 "crouch"
//   11/12/13 f32 v         the step's command becomes "pause v", "rotate v", "orient v"
//   14       64 bytes      the step's command becomes that text (at most 63 characters kept)
//   others   none          no effect
// Commands before the first position belong to the first step; a later command replaces an earlier one.
#pragma once

#include <cstdint>

#include "ai/navigation/resource_manager.h"
#include "ai/runtime/vector3.h"

class CPathWayStep : public CEngineObject {
public:
  static constexpr uint32_t kModeSize = 8;      // move mode field, NUL included
  static constexpr uint32_t kCommandSize = 64;  // command field, NUL included

  CPathWayStep();  // "walk", no command

  CVector3 m_position;
  char m_moveMode[kModeSize];
  char m_command[kCommandSize];
};

// The largest step array a path way grows to: the first capacity doubled while the array stays
// within 4 GiB.
constexpr uint32_t PathWayMaxSteps(uint64_t first, uint64_t stepBytes) {
  uint64_t capacity = first;
  while (capacity * 2 <= UINT32_MAX / stepBytes) capacity *= 2;
  return static_cast<uint32_t>(capacity);
}

class CPathWay : public CNamedResource {
public:
  static constexpr char kMagic[] = "Quelmor Path Way";
  static constexpr uint32_t kNameSize = 256;     // name field, NUL included
  static constexpr uint32_t kFirstCapacity = 5;  // steps of the first array; a full array doubles
  // Steps a path way holds at most: a block with more positions is refused.
  static constexpr uint32_t kMaxSteps = PathWayMaxSteps(kFirstCapacity, sizeof(CPathWayStep));
  static constexpr int32_t kAppend = -2;         // InsertStep index meaning "after the last step"
  // Record types of the block.
  static constexpr uint8_t kEnd = 0;
  static constexpr uint8_t kWalk = 1;
  static constexpr uint8_t kCrouch = 4;
  static constexpr uint8_t kPause = 11;
  static constexpr uint8_t kRotate = 12;
  static constexpr uint8_t kOrient = 13;
  static constexpr uint8_t kCommandText = 14;

  CPathWay() = default;
  CPathWay(const CPathWay&) = delete;
  CPathWay& operator=(const CPathWay&) = delete;
  ~CPathWay() override;  // deletes the step array

  // Copies the step in at index (kAppend: after the last step); the steps from index on move up one
  // place, each reported to OnStepMoved from the last down. False for an index above the step count
  // or when memory runs out.
  bool InsertStep(const CPathWayStep& step, int32_t index);
  // Reads a "Path Way" block; false when it cannot be opened, is malformed or ends early (the path
  // way then holds the steps read so far).
  bool Load(CConfigNode* rawData) override;
  // Hook of derived path ways: the step at oldIndex is now at newIndex.
  virtual void OnStepMoved(uint32_t oldIndex, uint32_t newIndex);
  virtual void SetFlag(uint8_t flag) { m_flag = flag; }

  uint32_t GetStepCount() const { return m_stepCount; }
  uint32_t GetCapacity() const { return m_capacity; }
  const CPathWayStep* GetStep(uint32_t i) const { return i < m_stepCount ? &m_steps[i] : nullptr; }
  uint8_t GetFlag() const { return m_flag; }
  const char* GetName() const { return m_name; }

private:
  CPathWayStep* m_steps = nullptr;  // owned array of m_capacity steps
  uint32_t m_stepCount = 0;
  uint32_t m_capacity = 0;
  uint8_t m_flag = 0;
  char m_name[kNameSize] = {};
};

class CPathWayManager : public CResourceManager {
public:
  static CGlobalServiceDesc s_classDesc;  // "CPathWayManager"
  static CGlobalService* Create();
  const CGlobalServiceDesc* GetClassDesc() const override;
  CPathWay* FindPathWay(const char* name) const { return static_cast<CPathWay*>(FindResource(name)); }

protected:
  const char* GetEntryKey() const override { return "PathWay"; }
  CNamedResource* CreateResource() override;
};
