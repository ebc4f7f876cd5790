#include "ai/runtime/action.h"

CActionDesc CActionTorsoRotate::s_desc("CActionTorsoRotate", &CActionTorsoRotate::Create);
CActionDesc CActionHeadRotate::s_desc("CActionHeadRotate", &CActionHeadRotate::Create);
CActionDesc CActionRotate::s_desc("CActionRotate", &CActionRotate::Create);
CActionDesc CActionSpeed::s_desc("CActionSpeed", &CActionSpeed::Create);
CActionDesc CActionAcceleration::s_desc("CActionAcceleration", &CActionAcceleration::Create);
CActionDesc CActionSteering::s_desc("CActionSteering", &CActionSteering::Create);
CActionDesc CActionCrouch::s_desc("CActionCrouch", &CActionCrouch::Create);
CActionDesc CActionJump::s_desc("CActionJump", &CActionJump::Create);
CActionDesc CActionActivate::s_desc("CActionActivate", &CActionActivate::Create);
CActionDesc CActionShoot::s_desc("CActionShoot", &CActionShoot::Create);
