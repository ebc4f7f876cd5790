#pragma once
// CTeam: a named, bounded group of entities of one world, created by class name from the team
// registry ("CTeam" is this class). Membership is recorded on both sides: the team lists its
// members and each entity lists its teams.

#include "ai/runtime/class_desc.h"
#include "ai/runtime/engine_object.h"
#include "ai/runtime/list.h"

#include <cstdint>

class CConfigNode;
class CEntity;

class CTeam : public CEngineObject {
public:
    // A team of at most `capacity` members; the name is copied (null stays null).
    CTeam(uint32_t capacity, const char* name);
    // A team owns its name and member list: it is never copied.
    CTeam(const CTeam&) = delete;
    CTeam& operator=(const CTeam&) = delete;
    // Leaves its world's team list, removes every member, releases the name and the member list.
    ~CTeam() override;

    virtual const CTeamDesc* GetClassDesc() const;
    // False when the member list is full (or the entity cannot record the team); else the entity
    // joins and records the team.
    virtual bool AddMember(CEntity* entity);
    // The entity forgets the team and leaves the member list (nothing when absent).
    virtual void RemoveMember(CEntity* entity);
    // Stores the flag and returns it.
    virtual uint8_t SetFlag(uint8_t flag);
    // True for a null definition or one without children; otherwise every child but "Class" goes
    // to ReadParam in order and the first refusal fails.
    virtual bool Init(CConfigNode* definition);
    // A plain team has no parameters.
    virtual bool ReadParam(CConfigNode* node);

    // True when construction got its memory.
    bool IsComplete() const;

    const char* GetName() const { return m_name; }
    const CList<CEntity*>* GetMembers() const { return m_members; }
    uint8_t GetFlag() const { return m_flag; }
    CListNode<CTeam*>* GetWorldNode() const { return m_worldNode; }
    void SetWorldNode(CListNode<CTeam*>* node) { m_worldNode = node; }

    // Create function of the "CTeam" registration.
    static CTeam* Create(uint32_t capacity, const char* name);
    static CTeamDesc s_desc;

private:
    char* m_name = nullptr;                   // owned text, null when created without a name
    CList<CEntity*>* m_members = nullptr;     // members, capacity fixed at creation
    CListNode<CTeam*>* m_worldNode = nullptr; // node in the world's team list
    uint8_t m_flag = 0;                       // host-defined flag
    bool m_wantsName = false;                 // a name was given (to tell a failed copy apart)
};
