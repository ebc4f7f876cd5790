// Engine life cycle, module registry and device requests.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/file_system.h"
#include "graphics/core/error.h"
#include "graphics/core/modules.h"
#include "graphics/core/small_modules.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/core/testkit/null_driver.h"
#include "graphics/core/tests/started_engine.h"

namespace {

std::vector<std::string> gCalls;
const char* gFailingOpen = nullptr; // name of the test module whose open fails

template <char Name> void* RecordOpen(void* instance, OvInt32, OvInt32) {
    const std::string name(1, Name);
    gCalls.push_back("open " + name);
    return gFailingOpen != nullptr && name == gFailingOpen ? nullptr : instance;
}

template <char Name> void* RecordClose(void* instance, OvInt32, OvInt32) {
    gCalls.push_back("close " + std::string(1, Name));
    return instance;
}

void RegisterRecordingModules() {
    EXPECT_GE(OvEngineRegisterPlugin(4, 0x7001, RecordOpen<'A'>, RecordClose<'A'>), 0);
    EXPECT_GE(OvEngineRegisterPlugin(12, 0x7002, RecordOpen<'B'>, RecordClose<'B'>), 0);
    EXPECT_GE(OvEngineRegisterPlugin(0, 0x7003, RecordOpen<'C'>, RecordClose<'C'>), 0);
}

std::vector<OvInt32> DriverRequests() {
    const OvNullDriverControl* c = OvNullDriverGetControl();
    return std::vector<OvInt32>(c->requests, c->requests + c->numRequests);
}

void* gWindow = nullptr;

TEST(EngineLifeCycle, ModulesOpenInOrderAndCloseInReverse) {
    gCalls.clear();
    gFailingOpen = nullptr;
    ASSERT_TRUE(OvTestEngineUp(0, RegisterRecordingModules));
    EXPECT_EQ(OvEngineGetStatus(), ovENGINESTATUSSTARTED);
    EXPECT_EQ(OvEngineGetOpenCount(), 1);
    EXPECT_EQ(gCalls, (std::vector<std::string>{"open A", "open B", "open C"}));
    EXPECT_EQ(DriverRequests(),
              (std::vector<OvInt32>{ovDEVICEREQUESTGETDEVICE, ovDEVICEREQUESTOPEN, ovDEVICEREQUESTGETSTANDARDFUNCTIONS,
                                    ovDEVICEREQUESTSTART, ovDEVICEREQUESTFINALIZESTART}));
    EXPECT_EQ(OvCounterGetNumInstances(), 1);
    EXPECT_EQ(OvSpareGetNumInstances(), 1);

    // The core modules, in the order OvEngineInit registers them: error, vector, counter, matrix,
    // frame, stream, camera, image, raster, texture, pipeline, spare entry, immediate-mode 3D and
    // resource arena. Their data lies behind the fixed part in that order, test modules after them.
    const OvUInt32 order[] = {0x40F, 0x401, 0x40D, 0x402, 0x403, 0x404, 0x405,
                              0x406, 0x407, 0x408, 0x409, 0x412, 0x40A, 0x40B};
    ASSERT_EQ(std::size(order), static_cast<std::size_t>(ovNUMCOREMODULES));
    OvInt32 previous = -1;
    for (std::size_t i = 0; i < std::size(order); ++i) {
        EXPECT_EQ(OvCoreModules[i].pluginID, order[i]) << i;
        const OvInt32 offset = OvEngineGetPluginOffset(order[i]);
        EXPECT_GE(offset, static_cast<OvInt32>(sizeof(OvEngineInstance)));
        if (i > 0 && order[i - 1] == 0x40D) {
            EXPECT_EQ(offset, previous); // the counter module has no data
        } else {
            EXPECT_GT(offset, previous) << i;
        }
        EXPECT_EQ(offset % static_cast<OvInt32>(alignof(void*)), 0);
        previous = offset;
    }
    EXPECT_GT(OvEngineGetPluginOffset(0x7001), previous);
    EXPECT_EQ(OvEngineGetPluginOffset(0x7999), -1);

    OvNullDriverGetControl()->numRequests = 0;
    gCalls.clear();
    EXPECT_TRUE(OvTestEngineDown());
    EXPECT_EQ(gCalls, (std::vector<std::string>{"close C", "close B", "close A"}));
    EXPECT_EQ(DriverRequests(),
              (std::vector<OvInt32>{ovDEVICEREQUESTINITIATESTOP, ovDEVICEREQUESTSTOP, ovDEVICEREQUESTCLOSE}));
    EXPECT_EQ(OvCounterGetNumInstances(), 0);
    EXPECT_EQ(OvEngineGetStatus(), ovENGINESTATUSIDLE);
    EXPECT_EQ(OvEngineGetOpenCount(), 0);
}

TEST(EngineLifeCycle, FailingModuleOpenLeavesEngineOpenedWithEarlierModulesClosed) {
    gCalls.clear();
    gFailingOpen = "B";
    OvNullDriverReset();
    OvEngineSetDriver(OvNullDriverGet());
    ASSERT_TRUE(OvEngineInit(nullptr, 0, 0));
    RegisterRecordingModules();
    ASSERT_TRUE(OvEngineOpen(&gWindow));
    OvNullDriverGetControl()->numRequests = 0;
    EXPECT_FALSE(OvEngineStart());
    EXPECT_EQ(OvEngineGetStatus(), ovENGINESTATUSOPENED);
    EXPECT_EQ(gCalls, (std::vector<std::string>{"open A", "open B", "close A"}));
    EXPECT_EQ(OvCounterGetNumInstances(), 0); // core modules were closed as well
    EXPECT_EQ(OvSpareGetNumInstances(), 0);
    EXPECT_EQ(DriverRequests(), (std::vector<OvInt32>{ovDEVICEREQUESTSTART, ovDEVICEREQUESTSTOP}));
    EXPECT_FALSE(OvEngineStop()); // nothing to stop
    gFailingOpen = nullptr;
    EXPECT_TRUE(OvEngineClose());
    EXPECT_TRUE(OvEngineTerm());
}

TEST(EngineLifeCycle, CallsOutOfOrderFailWithoutSideEffects) {
    ClearError();
    OvNullDriverReset();
    OvEngineSetDriver(OvNullDriverGet());
    EXPECT_FALSE(OvEngineOpen(&gWindow)); // before init
    EXPECT_EQ(ClearError(), ovERRBADENGINESTATE);
    EXPECT_FALSE(OvEngineStart());
    EXPECT_FALSE(OvEngineStop());
    EXPECT_FALSE(OvEngineClose());

    ASSERT_TRUE(OvEngineInit(nullptr, 0, 0x1234));
    const OvInt32 registrySize = OvEngineGetPluginOffset(ovPLUGINIDRESOURCES);
    EXPECT_FALSE(OvEngineInit(nullptr, ovENGINEINITFLAG_NOFREELISTS, 99)); // already initialised
    EXPECT_EQ(OvEngineGetPluginOffset(ovPLUGINIDRESOURCES), registrySize);
    EXPECT_EQ(OvEngineInstancePtr->resArenaInitSize, 0x1234u);
    EXPECT_FALSE(OvEngineSetDriver(nullptr));
    EXPECT_FALSE(OvEngineOpen(nullptr));
    EXPECT_EQ(ClearError(), ovERRNULLARGUMENT);

    // Values written into the fixed part survive open and close.
    int world = 0;
    OvEngineInstancePtr->curWorld = &world;
    ASSERT_TRUE(OvEngineOpen(&gWindow));
    EXPECT_EQ(OvEngineInstancePtr->curWorld, &world);
    EXPECT_EQ(OvEngineInstancePtr->resArenaInitSize, 0x1234u);
    OvEngineInstancePtr->screenZ = 0.5f;
    EXPECT_FALSE(OvEngineOpen(&gWindow)); // twice
    EXPECT_EQ(ClearError(), ovERRBADENGINESTATE);
    EXPECT_FALSE(OvEngineInit(nullptr, ovENGINEINITFLAG_NOFREELISTS, 99)); // while open
    EXPECT_FALSE(OvEngineTerm());
    EXPECT_FALSE(OvEngineStop());                                      // not started
    EXPECT_LT(OvEngineRegisterPlugin(4, 0x7100, nullptr, nullptr), 0); // registration after open
    EXPECT_EQ(ClearError(), ovERRPLUGINREFUSED);
    ASSERT_TRUE(OvEngineStart());
    EXPECT_FALSE(OvEngineClose()); // started
    EXPECT_TRUE(OvEngineStop());
    EXPECT_TRUE(OvEngineClose());
    EXPECT_EQ(OvEngineInstancePtr->screenZ, 0.5f);
    EXPECT_EQ(OvEngineGetStatus(), ovENGINESTATUSINITED);
    EXPECT_TRUE(OvEngineTerm());
}

TEST(EngineLifeCycle, DriverRefusalsUndoEachStep) {
    OvNullDriverReset();
    OvEngineSetDriver(nullptr);
    EXPECT_FALSE(OvEngineInit(nullptr, 0, 0)); // no driver
    EXPECT_EQ(OvEngineGetStatus(), ovENGINESTATUSIDLE);
    OvEngineSetDriver(OvNullDriverGet());
    OvNullDriverGetControl()->failAttach = TRUE;
    EXPECT_FALSE(OvEngineInit(nullptr, 0, 0));
    EXPECT_EQ(OvEngineGetStatus(), ovENGINESTATUSIDLE);
    OvNullDriverGetControl()->failAttach = FALSE;

    ASSERT_TRUE(OvEngineInit(nullptr, 0, 0));
    OvNullDriverGetControl()->refuseMask = 1u << ovDEVICEREQUESTOPEN;
    EXPECT_FALSE(OvEngineOpen(&gWindow));
    EXPECT_EQ(OvEngineGetStatus(), ovENGINESTATUSINITED);
    EXPECT_EQ(OvEngineGetOpenCount(), 0);
    OvNullDriverGetControl()->refuseMask = 1u << ovDEVICEREQUESTSTART;
    ASSERT_TRUE(OvEngineOpen(&gWindow));
    EXPECT_FALSE(OvEngineStart());
    EXPECT_EQ(OvCounterGetNumInstances(), 0);
    EXPECT_EQ(OvEngineGetStatus(), ovENGINESTATUSOPENED);
    OvNullDriverGetControl()->refuseMask = 1u << ovDEVICEREQUESTSTOP;
    ASSERT_TRUE(OvEngineStart());
    EXPECT_FALSE(OvEngineStop()); // the device refuses, but the modules are closed
    EXPECT_EQ(OvCounterGetNumInstances(), 0);
    EXPECT_EQ(OvEngineGetStatus(), ovENGINESTATUSOPENED);
    OvNullDriverGetControl()->refuseMask = 1u << ovDEVICEREQUESTCLOSE;
    EXPECT_FALSE(OvEngineClose());
    OvNullDriverGetControl()->refuseMask = 0;
    EXPECT_TRUE(OvEngineClose());
    EXPECT_TRUE(OvEngineTerm());
    ClearError();
}

// Memory functions whose n-th allocation fails (0: none fails).
struct FailingMemory {
    int failAt = 0;
    int calls = 0;
    int live = 0;
    bool Fail() { return ++calls == failAt; }
};
FailingMemory gFailing;

const OvMemoryFunctions kFailingFunctions = {
    [](std::size_t size, OvUInt32) -> void* {
        if (gFailing.Fail()) {
            return nullptr;
        }
        gFailing.live++;
        return std::malloc(size);
    },
    [](void* block) {
        if (block != nullptr) {
            gFailing.live--;
        }
        std::free(block);
    },
    [](void* block, std::size_t size, OvUInt32) -> void* {
        if (gFailing.Fail()) {
            return nullptr;
        }
        gFailing.live += block == nullptr ? 1 : 0;
        return std::realloc(block, size);
    },
    [](std::size_t count, std::size_t size, OvUInt32) -> void* {
        if (gFailing.Fail()) {
            return nullptr;
        }
        gFailing.live++;
        return std::calloc(count, size);
    },
};

const std::string gScratchPath = "/tmp/gfx_core_alloc_sweep_" + std::to_string(::getpid());

// Brings the engine up, uses streams and files and takes it down, stopping where a step fails.
void RunCycleWithFailingMemory(OvUInt32 flags) {
    OvNullDriverReset();
    OvEngineSetDriver(OvNullDriverGet());
    if (!OvEngineInit(&kFailingFunctions, flags, 0)) {
        return;
    }
    if (OvEngineOpen(&gWindow)) {
        if (OvEngineStart()) {
            if (OvStream* s = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr)) {
                char bytes[600] = {};
                if (OvStreamWrite(s, bytes, 10) != nullptr && OvStringStreamWrite(std::string(100, 'n').c_str(), s)) {
                    OvStreamWrite(s, bytes, 600);
                }
                OvMemory memory = {};
                OvStreamClose(s, &memory);
                OvMemory readBack = memory;
                if (OvStream* r = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &readBack)) {
                    if (OvStreamSkip(r, 10) != nullptr) {
                        OvFree(OvStringStreamRead(nullptr, r));
                    }
                    OvStreamClose(r, nullptr);
                }
                OvFree(memory.start);
            }
            OvFSManagerOpen(0);
            if (OvFileSystem* fs = OvWinFSCreate(4, "", "unc")) {
                if (OvFSManagerRegister(fs)) {
                    OvFSManagerSetDefaultFileSystem(fs);
                    if (OvStream* f = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMWRITE, gScratchPath.c_str())) {
                        OvStringStreamWrite("x", f);
                        OvStreamClose(f, nullptr);
                    }
                } else {
                    fs->fsClose(fs);
                    OvFree(fs->deviceName);
                    OvFree(fs);
                }
            }
            OvFSManagerClose();
            EXPECT_TRUE(OvEngineStop());
        }
        EXPECT_TRUE(OvEngineClose());
    }
    EXPECT_TRUE(OvEngineTerm());
}

TEST(EngineLifeCycle, EveryAllocationFailureIsUndoneWithoutLeaks) {
    for (OvUInt32 flags : {0u, ovENGINEINITFLAG_NOFREELISTS}) {
        gFailing = {};
        RunCycleWithFailingMemory(flags);
        // With no failure every allocation went through the host functions and came back.
        EXPECT_EQ(gFailing.live, 0) << "flags " << flags;
        const int total = gFailing.calls;
        ASSERT_GT(total, 5);
        for (int n = 1; n <= total; ++n) {
            gFailing = {};
            gFailing.failAt = n;
            RunCycleWithFailingMemory(flags);
            EXPECT_EQ(gFailing.live, 0) << "allocation " << n << " failed, flags " << flags;
            EXPECT_EQ(OvEngineGetStatus(), ovENGINESTATUSIDLE);
        }
    }
    ClearError();
    std::remove(gScratchPath.c_str());
}

} // namespace
