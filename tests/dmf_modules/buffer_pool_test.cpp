// BufferPool on a device that adds pools: buffer layout, look-aside buffers,
// zero-filled reuse, the verifier's checks and buffer timers.
#include "dmf/modules/Dmf_BufferPool.h"
#include "platform/sim/wdf_control.h"
#include "tests/dmf_modules/module_device.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace moduletest {
namespace {

constexpr ULONG kSource = BufferPool_Mode_Source;
constexpr ULONG kSink = BufferPool_Mode_Sink;

DMF_CONFIG_BufferPool Pool(ULONG mode, ULONG count = 0, ULONG size = 0, ULONG contextSize = 0) {
    return {mode, count, size, contextSize, 0, 0, NonPagedPoolNx};
}

UCHAR* Get(DMFMODULE pool, PVOID* context = nullptr) {
    PVOID buffer = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, DMF_BufferPool_Get(pool, &buffer, context));
    return static_cast<UCHAR*>(buffer);
}

using BufferPoolTest = ModuleTest;

// A buffer of 1 byte with a context of 1 byte takes H + 16 + 16 + 16 + 4
// bytes. A source hands it out again zero-filled; a sink keeps its contents.
// Look-aside makes a buffer when the pool is dry and frees one that comes back
// while extras are out; without it a dry pool has nothing to give.
TEST_F(BufferPoolTest, LayoutZeroFilledReuseAndLookAside) {
    size_t source = Add(DMF_BufferPool_Create, Pool(kSource, 1, 1, 1));
    size_t sink = Add(DMF_BufferPool_Create, Pool(kSink));
    DMF_CONFIG_BufferPool lookAside = Pool(kSource, 1, 8);
    lookAside.EnableLookAside = 1;
    size_t withLookAside = Add(DMF_BufferPool_Create, lookAside);
    size_t without = Add(DMF_BufferPool_Create, Pool(kSource, 1, 8));
    sim::wdf::SetPoisonNewMemory(true);
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());
    PVOID context = nullptr;
    UCHAR* buffer = Get(Module(source), &context);
    auto objects = sim::wdf::LiveObjects();
    auto object = std::find_if(objects.begin(), objects.end(),
                               [](const auto& o) { return o.poolTag == WdfMakePoolTag("BPMo"); });
    ASSERT_NE(objects.end(), object);
    auto* start =
        static_cast<UCHAR*>(WdfMemoryGetBuffer(static_cast<WDFMEMORY>(object->handle), nullptr));
    EXPECT_EQ(static_cast<size_t>(buffer - start) + 16 + 16 + 16 + 4, object->size);
    EXPECT_EQ(buffer + 32, context);
    EXPECT_EQ(0x87654321ull, *reinterpret_cast<ULONGLONG*>(buffer - 8));

    auto* contextByte = static_cast<UCHAR*>(context);
    EXPECT_EQ(0, *contextByte);
    *buffer = 0xAB;
    *contextByte = 0xCD;
    DMF_BufferPool_Put(Module(sink), buffer);
    ASSERT_EQ(buffer, Get(Module(sink)));
    EXPECT_EQ(0xAB, *buffer);
    EXPECT_EQ(0xCD, *contextByte);
    DMF_BufferPool_Put(Module(source), buffer);
    ASSERT_EQ(buffer, Get(Module(source)));
    EXPECT_EQ(0, *buffer);
    EXPECT_EQ(0, *contextByte);

    const size_t buffers = LiveMemoryTagged("BPMo");
    UCHAR* first = Get(Module(withLookAside));
    UCHAR* second = Get(Module(withLookAside));
    EXPECT_EQ(buffers + 1, LiveMemoryTagged("BPMo"));
    DMF_BufferPool_Put(Module(withLookAside), second);
    DMF_BufferPool_Put(Module(withLookAside), first);
    EXPECT_EQ(buffers, LiveMemoryTagged("BPMo"));
    Get(Module(without));
    PVOID none = first;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, DMF_BufferPool_Get(Module(without), &none, nullptr));
    EXPECT_EQ(nullptr, none);
}

TEST_F(BufferPoolTest, VerifierReportsAPagedSourceOfASpinLockModuleAndDamageWhereBuffersReturn) {
    sim::wdf::SetDriverFlags(WdfVerifyOn);
    ExpectReport("Invalid Pool/Lock combination");
    ExpectReport("DMF_BufferPool");
    size_t pool = Add(DMF_BufferPool_Create, Pool(kSource, 6, 8, 8));
    DMF_CONFIG_BufferPool pagedSource = Pool(kSource, 1, 8);
    DMF_CONFIG_BufferPool pagedSink = Pool(kSink);
    pagedSource.PoolType = pagedSink.PoolType = PagedPool;
    Add(DMF_BufferPool_Create, pagedSource, /*passive=*/true);
    Add(DMF_BufferPool_Create, pagedSink);
    Add(DMF_BufferPool_Create, pagedSource);
    Add(DMF_BufferPool_Create, pagedSource);
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());
    EXPECT_EQ(std::vector<std::string>(2, "Invalid Pool/Lock combination"), sim::DebuggerOutput());

    // A header damaged whole (its pointers and sizes with it) is reported
    // without being followed.
    struct Row {
        bool verifier, inContext;
        ptrdiff_t offset;
        size_t length;
        const char* message;
    };
    for (const Row& row : {Row{true, false, -64, 64, "DMF_BufferPool signature mismatch"},
                           Row{false, false, -8, 1, nullptr},
                           Row{true, false, -8, 1, "DMF_BufferPool signature mismatch"},
                           Row{true, false, 16, 1, "DMF_BufferPool data sentinel mismatch"},
                           Row{true, true, 16, 1, "DMF_BufferPool context sentinel mismatch"}}) {
        sim::ClearDebugger();
        sim::wdf::SetDriverFlags(row.verifier ? WdfVerifyOn : 0);
        PVOID context = nullptr;
        UCHAR* buffer = Get(Module(pool), &context);
        UCHAR* damaged = (row.inContext ? static_cast<UCHAR*>(context) : buffer) + row.offset;
        for (size_t index = 0; index < row.length; ++index) {
            damaged[index] ^= 0x5A;
        }
        DMF_BufferPool_Put(Module(pool), buffer);
        auto expected =
            row.message ? std::vector<std::string>{row.message} : std::vector<std::string>{};
        EXPECT_EQ(expected, sim::DebuggerOutput());
        EXPECT_EQ(expected.size(), sim::DebugBreakCount());
    }
}

// The start of the memory a pool buffer lies in.
UCHAR* MemoryStart(const UCHAR* buffer) {
    for (const auto& object : sim::wdf::LiveObjects()) {
        if (object.kind != "WDFMEMORY" || object.poolTag != WdfMakePoolTag("BPMo")) {
            continue;
        }
        auto* start =
            static_cast<UCHAR*>(WdfMemoryGetBuffer(static_cast<WDFMEMORY>(object.handle), nullptr));
        if (start < buffer && buffer < start + object.size) {
            return start;
        }
    }
    return nullptr;
}

// The one field of a buffer's header that holds `value`.
template <typename T> T* HeaderField(UCHAR* buffer, T value) {
    T* found = nullptr;
    for (UCHAR* at = MemoryStart(buffer); at != nullptr && at < buffer; at += sizeof(T)) {
        if (std::memcmp(at, &value, sizeof(T)) == 0) {
            EXPECT_EQ(nullptr, found) << "two fields hold " << value;
            found = reinterpret_cast<T*>(at);
        }
    }
    EXPECT_NE(nullptr, found) << "no field holds " << value;
    return found;
}

// A header whose signature is whole but whose sizes or pointers are damaged
// is reported as damaged and not followed: the sentinels are looked for and
// the buffer zero-filled where the pool lays them out. A sink, which has no
// layout of its own, finds the header at odds with itself.
TEST_F(BufferPoolTest, AHeaderDamagedBehindAWholeSignatureIsReportedAndNotFollowed) {
    sim::wdf::SetDriverFlags(WdfVerifyOn);
    ExpectReport("DMF_BufferPool signature mismatch");
    constexpr ULONG kSize = 24;
    constexpr ULONG kContextSize = 40;
    size_t source = Add(DMF_BufferPool_Create, Pool(kSource, 9, kSize, kContextSize));
    size_t contextless = Add(DMF_BufferPool_Create, Pool(kSource, 1, kSize));
    size_t sink = Add(DMF_BufferPool_Create, Pool(kSink));
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());
    // Whole buffers, with a context or without, go back without a report.
    for (size_t pool : {source, contextless}) {
        DMF_BufferPool_Put(Module(pool), Get(Module(pool)));
    }
    EXPECT_TRUE(sim::DebuggerOutput().empty());
    auto dataSentinel = [](UCHAR* buffer) { return buffer + 32; };
    auto contextSentinel = [](UCHAR* context) { return context + 48; };
    using Damage = std::function<void(UCHAR*, UCHAR*)>;
    auto size = [](ULONG from, ULONG to) {
        return [=](UCHAR* buffer, UCHAR*) { *HeaderField(buffer, from) = to; };
    };
    auto pointer = [](auto at, ptrdiff_t by) {
        return [=](UCHAR* buffer, UCHAR* context) {
            UCHAR* field = at(buffer, context);
            *HeaderField(buffer, field) = field + by;
        };
    };
    struct Row {
        const char* what;
        Damage damage;
        bool intoSink = false;
    };
    const Row rows[] = {
        {"buffer size", size(kSize, 40)},
        {"context size", size(kContextSize, 64)},
        {"buffer", pointer([](UCHAR* b, UCHAR*) { return b; }, 16)},
        {"context", pointer([](UCHAR*, UCHAR* c) { return c; }, 16)},
        {"data sentinel", pointer([&](UCHAR* b, UCHAR*) { return dataSentinel(b); }, -32)},
        {"context sentinel", pointer([&](UCHAR*, UCHAR* c) { return contextSentinel(c); }, -48)},
        {"buffer size, in a sink", size(kSize, 0x100000), true},
        {"buffer size", size(kSize, 0x100000)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        sim::ClearDebugger();
        PVOID context = nullptr;
        UCHAR* buffer = Get(Module(source), &context);
        row.damage(buffer, static_cast<UCHAR*>(context));
        DMF_BufferPool_Put(Module(row.intoSink ? sink : source), buffer);
        EXPECT_EQ(std::vector<std::string>{"DMF_BufferPool signature mismatch"},
                  sim::DebuggerOutput());
        EXPECT_EQ(1u, sim::DebugBreakCount());
        EXPECT_EQ(0x33334444u, *reinterpret_cast<ULONG*>(dataSentinel(buffer)));
        EXPECT_EQ(0x11112222u,
                  *reinterpret_cast<ULONG*>(contextSentinel(static_cast<UCHAR*>(context))));
    }

    // Without the verifier nothing is reported, and the fill still goes by
    // the pool's sizes.
    sim::ClearDebugger();
    sim::wdf::SetDriverFlags(0);
    PVOID context = nullptr;
    UCHAR* buffer = Get(Module(source), &context);
    std::memset(buffer, 0xAB, kSize);
    size(kSize, 40)(buffer, nullptr);
    DMF_BufferPool_Put(Module(source), buffer);
    EXPECT_TRUE(sim::DebuggerOutput().empty());
    EXPECT_EQ(0, buffer[kSize - 1]);
    EXPECT_EQ(0x33334444u, *reinterpret_cast<ULONG*>(dataSentinel(buffer)));
}

void OnExpiry(DMFMODULE DmfModule, PVOID ClientBuffer, PVOID, PVOID CallbackContext) {
    Log().Record(DmfModule, ClientBuffer, *static_cast<ULONG*>(CallbackContext));
}

TEST_F(BufferPoolTest, ATimerHandsAnUntakenBufferToItsCallbackAndAGetBeforeItStopsIt) {
    DMF_CONFIG_BufferPool timed = Pool(kSource, 2, 8);
    timed.CreateWithTimer = 1;
    size_t source = Add(DMF_BufferPool_Create, timed);
    size_t sink = Add(DMF_BufferPool_Create, Pool(kSink));
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());

    ULONG tag = 7;
    UCHAR* early = Get(Module(source));
    UCHAR* late = Get(Module(source));
    DMF_BufferPool_PutInSinkWithTimer(Module(sink), early, 3600000, OnExpiry, &tag);
    DMF_BufferPool_PutInSinkWithTimer(Module(sink), late, 1000, OnExpiry, &tag);
    ASSERT_TRUE(WaitUntil([] { return Log().Count() == 1; }));
    EXPECT_EQ(early, Get(Module(sink)));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ((std::vector<Call>{{Module(sink), late, tag}}), Log().calls);
    PVOID none = nullptr;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, DMF_BufferPool_Get(Module(sink), &none, nullptr));

    // Without a callback a buffer is put as any other; a damaged one is
    // reported with the verifier on and not taken.
    DMF_BufferPool_PutInSinkWithTimer(Module(sink), early, 1000, nullptr, &tag);
    EXPECT_TRUE(sim::TraceContains("has no timer or no callback", TRACE_LEVEL_ERROR));
    EXPECT_EQ(early, Get(Module(sink)));
    sim::wdf::SetDriverFlags(WdfVerifyOn);
    ExpectReport("DMF_BufferPool signature mismatch");
    early[-8] ^= 0x5A;
    DMF_BufferPool_PutInSinkWithTimer(Module(sink), early, 1000, OnExpiry, &tag);
    EXPECT_EQ(std::vector<std::string>{"DMF_BufferPool signature mismatch"}, sim::DebuggerOutput());
    EXPECT_EQ(STATUS_UNSUCCESSFUL, DMF_BufferPool_Get(Module(sink), &none, nullptr));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(1u, Log().Count());
}

TEST_F(BufferPoolTest, OpenFailsForTimersWithLookAsideAndAtTheFirstBufferThatCannotBeMade) {
    DMF_CONFIG_BufferPool both = Pool(kSource, 1, 8);
    both.CreateWithTimer = both.EnableLookAside = 1;
    Add(DMF_BufferPool_Create, both);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, AddDevice());
    NextDevice();
    Add(DMF_BufferPool_Create, Pool(kSource, 3, 8));
    sim::ArmFault("WdfMemoryCreatePreallocated", sim::FaultSpec::OnCall(2, STATUS_NO_MEMORY));
    EXPECT_EQ(STATUS_NO_MEMORY, AddDevice());
}

} // namespace
} // namespace moduletest
