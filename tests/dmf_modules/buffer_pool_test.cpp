// BufferPool on a device that adds pools: buffer layout, look-aside buffers,
// zero-filled reuse, the verifier's checks and buffer timers.
#include "dmf/modules/Dmf_BufferPool.h"
#include "platform/sim/wdf_control.h"
#include "tests/dmf_modules/module_device.h"

#include <atomic>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace moduletest {
namespace {

DMF_CONFIG_BufferPool Pool(ULONG mode, ULONG count = 0, ULONG size = 0, ULONG contextSize = 0) {
    DMF_CONFIG_BufferPool config{};
    config.BufferPoolMode = mode;
    config.BufferCount = count;
    config.BufferSize = size;
    config.BufferContextSize = contextSize;
    config.PoolType = NonPagedPoolNx;
    return config;
}

DMF_CONFIG_BufferPool Source(ULONG count, ULONG size, ULONG contextSize = 0) {
    return Pool(BufferPool_Mode_Source, count, size, contextSize);
}

UCHAR* Get(DMFMODULE pool, PVOID* context = nullptr) {
    PVOID buffer = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, DMF_BufferPool_Get(pool, &buffer, context));
    return static_cast<UCHAR*>(buffer);
}

bool AllBytes(const void* data, size_t size, UCHAR value) {
    auto* bytes = static_cast<const UCHAR*>(data);
    for (size_t index = 0; index < size; ++index) {
        if (bytes[index] != value) {
            return false;
        }
    }
    return true;
}

using BufferPoolTest = ModuleTest;

TEST_F(BufferPoolTest, EachBufferIsOneObjectOfHeaderBufferSentinelContextSentinel) {
    struct Row {
        ULONG size, contextSize;
        size_t afterHeader; // rounded buffer + sentinel slot + rounded context + sentinel
    };
    const Row rows[] = {
        {1, 1, 16 + 16 + 16 + 4}, {17, 0, 32 + 16 + 0 + 4}, {32, 20, 32 + 16 + 32 + 4}};
    for (const Row& row : rows) {
        Add(DMF_BufferPool_Create, Source(1, row.size, row.contextSize));
    }
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());
    EXPECT_EQ(3u, LiveMemoryTagged("BPMo"));
    for (size_t index = 0; index < std::size(rows); ++index) {
        SCOPED_TRACE(index);
        PVOID context = nullptr;
        UCHAR* buffer = Get(Module(index), &context);
        size_t found = 0;
        for (const auto& object : sim::wdf::LiveObjects()) {
            if (object.poolTag != WdfMakePoolTag("BPMo")) {
                continue;
            }
            auto* start = static_cast<UCHAR*>(
                WdfMemoryGetBuffer(static_cast<WDFMEMORY>(object.handle), nullptr));
            if (buffer < start || buffer >= start + object.size) {
                continue;
            }
            const size_t header = static_cast<size_t>(buffer - start);
            ++found;
            EXPECT_EQ(header + rows[index].afterHeader, object.size);
            EXPECT_EQ(0x87654321ull, *reinterpret_cast<ULONGLONG*>(buffer - 8));
        }
        EXPECT_EQ(1u, found);
        if (rows[index].contextSize == 0) {
            EXPECT_EQ(nullptr, context);
        } else {
            EXPECT_EQ(buffer + ((rows[index].size + 15) & ~15u) + 16, context);
        }
    }
}

TEST_F(BufferPoolTest, LookAsideMakesABufferWhenDryAndFreesItOnReturnWhileExtrasAreOut) {
    DMF_CONFIG_BufferPool lookAside = Source(1, 8);
    lookAside.EnableLookAside = 1;
    size_t withLookAside = Add(DMF_BufferPool_Create, lookAside);
    size_t without = Add(DMF_BufferPool_Create, Source(1, 8));
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());

    UCHAR* first = Get(Module(withLookAside));
    UCHAR* second = Get(Module(withLookAside));
    EXPECT_EQ(3u, LiveMemoryTagged("BPMo"));
    DMF_BufferPool_Put(Module(withLookAside), second);
    EXPECT_EQ(2u, LiveMemoryTagged("BPMo"));
    DMF_BufferPool_Put(Module(withLookAside), first);
    EXPECT_EQ(2u, LiveMemoryTagged("BPMo"));

    Get(Module(without));
    PVOID none = first;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, DMF_BufferPool_Get(Module(without), &none, nullptr));
    EXPECT_EQ(nullptr, none);
}

TEST_F(BufferPoolTest, ASourceHandsBuffersOutAgainZeroFilledWhileASinkKeepsTheirContents) {
    size_t source = Add(DMF_BufferPool_Create, Source(1, 24, 8));
    size_t sink = Add(DMF_BufferPool_Create, Pool(BufferPool_Mode_Sink));
    sim::wdf::SetPoisonNewMemory(true);
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());

    PVOID context = nullptr;
    UCHAR* buffer = Get(Module(source), &context);
    EXPECT_TRUE(AllBytes(context, 8, 0));
    std::memset(buffer, 0xAB, 24);
    std::memset(context, 0xCD, 8);
    DMF_BufferPool_Put(Module(sink), buffer);
    PVOID sinkContext = nullptr;
    ASSERT_EQ(buffer, Get(Module(sink), &sinkContext));
    EXPECT_TRUE(AllBytes(buffer, 24, 0xAB) && AllBytes(sinkContext, 8, 0xCD));

    DMF_BufferPool_Put(Module(source), buffer);
    ASSERT_EQ(buffer, Get(Module(source), &context));
    EXPECT_TRUE(AllBytes(buffer, 24, 0) && AllBytes(context, 8, 0));
}

TEST_F(BufferPoolTest, VerifierReportsADamagedSignatureOrSentinelWhereTheBufferComesBack) {
    size_t pool = Add(DMF_BufferPool_Create, Source(4, 8, 8));
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());
    struct Row {
        bool verifier;
        bool inContext;
        ptrdiff_t offset;
        const char* message;
    };
    const Row rows[] = {{false, false, -8, nullptr},
                        {true, false, -8, "DMF_BufferPool signature mismatch"},
                        {true, false, 16, "DMF_BufferPool data sentinel mismatch"},
                        {true, true, 16, "DMF_BufferPool context sentinel mismatch"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.offset);
        sim::ClearDebugger();
        sim::wdf::SetDriverFlags(row.verifier ? WdfVerifyOn : 0);
        PVOID context = nullptr;
        UCHAR* buffer = Get(Module(pool), &context);
        (row.inContext ? static_cast<UCHAR*>(context) : buffer)[row.offset] ^= 0x5A;
        DMF_BufferPool_Put(Module(pool), buffer);
        std::vector<std::string> expected;
        if (row.message != nullptr) {
            expected.emplace_back(row.message);
        }
        EXPECT_EQ(expected, sim::DebuggerOutput());
        EXPECT_EQ(expected.size(), sim::DebugBreakCount());
    }
}

TEST_F(BufferPoolTest, VerifierReportsOnlyAPagedSourcePoolOfANonPassiveModule) {
    sim::wdf::SetDriverFlags(WdfVerifyOn);
    DMF_CONFIG_BufferPool pagedSource = Source(1, 8);
    pagedSource.PoolType = PagedPool;
    DMF_CONFIG_BufferPool pagedSink = Pool(BufferPool_Mode_Sink);
    pagedSink.PoolType = PagedPool;
    Add(DMF_BufferPool_Create, pagedSource, /*passive=*/true);
    Add(DMF_BufferPool_Create, pagedSink);
    Add(DMF_BufferPool_Create, Source(1, 8));
    Add(DMF_BufferPool_Create, pagedSource);
    Add(DMF_BufferPool_Create, pagedSource);
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());
    EXPECT_EQ(std::vector<std::string>(2, "Invalid Pool/Lock combination"), sim::DebuggerOutput());
    EXPECT_EQ(2u, sim::DebugBreakCount());
}

struct Expiry {
    std::atomic<int> calls{0};
    DMFMODULE module = nullptr;
    PVOID buffer = nullptr;
    PVOID context = nullptr;
};

void OnExpiry(DMFMODULE DmfModule, PVOID ClientBuffer, PVOID ClientBufferContext,
              PVOID CallbackContext) {
    auto* expiry = static_cast<Expiry*>(CallbackContext);
    expiry->module = DmfModule;
    expiry->buffer = ClientBuffer;
    expiry->context = ClientBufferContext;
    expiry->calls++;
}

TEST_F(BufferPoolTest, ATimerHandsAnUntakenBufferToItsCallbackAndAGetBeforeItStopsIt) {
    DMF_CONFIG_BufferPool timed = Source(2, 8, 4);
    timed.CreateWithTimer = 1;
    size_t source = Add(DMF_BufferPool_Create, timed);
    size_t sink = Add(DMF_BufferPool_Create, Pool(BufferPool_Mode_Sink));
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());

    Expiry expiry;
    PVOID lateContext = nullptr;
    UCHAR* early = Get(Module(source));
    UCHAR* late = Get(Module(source), &lateContext);
    DMF_BufferPool_PutInSinkWithTimer(Module(sink), early, 3600000, OnExpiry, &expiry);
    DMF_BufferPool_PutInSinkWithTimer(Module(sink), late, 1000, OnExpiry, &expiry);
    ASSERT_TRUE(WaitUntil([&] { return expiry.calls == 1; }));
    EXPECT_EQ(Module(sink), expiry.module);
    EXPECT_EQ(late, expiry.buffer);
    EXPECT_EQ(lateContext, expiry.context);

    EXPECT_EQ(early, Get(Module(sink)));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(1, expiry.calls);
    PVOID none = nullptr;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, DMF_BufferPool_Get(Module(sink), &none, nullptr));
}

TEST_F(BufferPoolTest, OpenFailsForTimersWithLookAsideAndAtTheFirstBufferThatCannotBeMade) {
    DMF_CONFIG_BufferPool both = Source(1, 8);
    both.CreateWithTimer = 1;
    both.EnableLookAside = 1;
    Add(DMF_BufferPool_Create, both);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, AddDevice());

    mSpecs.clear();
    mHost.reset();
    Add(DMF_BufferPool_Create, Source(3, 8));
    sim::ArmFault("WdfMemoryCreatePreallocated", sim::FaultSpec::OnCall(2, STATUS_NO_MEMORY));
    EXPECT_EQ(STATUS_NO_MEMORY, AddDevice());
}

} // namespace
} // namespace moduletest
