#pragma once
// CSoldierBrain: a bot's decisions. Following the game's order (game_order.h), the bot either
// comes to the player and stops at a distance drawn at random (30 to 130 square units, stopping
// only while it sees the player, holding within sqrt(150) units once stopped), or takes cover
// from the player through its DunmarrowAgent, slowing down on the last metres and turning its
// torso, then its body, towards the player as it arrives.

#include <cstdint>

#include "ai/runtime/brain.h"

class CActionRotate;
class CActionSpeed;
class CActionTorsoRotate;
class CEntityManager;
class CFollowerAgent;
class CPathFinder;
class DunmarrowAgent;

class CSoldierBrain : public CBrain {
public:
    static CBrainDesc s_desc; // "CSoldierBrain"
    static CBrain* Create(CEntity* owner, const CActionClassDesc* actionClass);
    // Squared stop radius (in OneMeter^2) while the bot stands by the player.
    static constexpr float kStoppedRadius2 = 150.0f;
    // The smallest stop radius drawn (squared, in OneMeter^2).
    static constexpr float kNearestStopRadius2 = 30.0f;

    CSoldierBrain(CEntity* owner, const CActionClassDesc* actionClass);
    ~CSoldierBrain() override;

    const CBrainDesc* GetClassDesc() const override;
    // The base's set-up, then the hiding and following agents, the path finder (given the path-cost
    // heuristic), the entity manager and the speed, turn and torso actions; false when any is
    // missing.
    bool Init(CConfigNode* definition) override;
    // No parameters.
    bool ReadParam(CConfigNode* node) override;
    // This frame's actions; false (nothing to apply) while the world has no "Player".
    bool Think() override;

    float GetStopRadius2() const { return m_stopRadius2; }
    float GetTorsoRadius2() const { return m_torsoRadius2; }
    DunmarrowAgent* GetHider() const { return m_hider; }
    CFollowerAgent* GetFollower() const { return m_follower; }
    CPathFinder* GetPathFinder() const { return m_pathFinder; }

private:
    static void OnEntityRemoved(CEntity* entity, void* user);
    static float DrawStopRadius2();
    bool ComeToPlayer(float oneMeter2);
    bool TakeCover(float oneMeter2);

    CFollowerAgent* m_follower = nullptr;
    CPathFinder* m_pathFinder = nullptr;
    CEntityManager* m_entityManager = nullptr;
    DunmarrowAgent* m_hider = nullptr;
    CActionSpeed* m_speed = nullptr;             // in the brain's action class
    CActionRotate* m_rotate = nullptr;           // in the brain's action class
    CActionTorsoRotate* m_torsoRotate = nullptr; // in the brain's action class
    float m_torsoRadius2;                        // host units squared
    float m_stopRadius2;                         // host units squared
    CEntity* m_player = nullptr;                 // the world's "Player", found on first need
    bool m_callbackRegistered = false;           // the entity-removed callback is registered
};
