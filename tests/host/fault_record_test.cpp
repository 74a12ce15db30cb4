// What a fault run writes for the fault runner comes back as written; a
// record cut short is no record, whatever line it was cut in.
#include "host/faults/FaultRecord.h"
#include "tests/support/temp_path.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace host {
namespace {

TEST(FaultRecord, ReadsBackWhatWasWrittenAndNothingOfARecordCutShort) {
    const std::string path = halvex::testing::ProcessTempPath("fault_record");
    FaultRecord written;
    written.status = 1;
    written.faultFailed = true;
    written.errorTraces = {{2, "Power.cpp: failed\\with a\nnewline"}};
    written.failure = "t.scn:3: expect modem 1,1 (seen 0,0)";
    written.failureCommand = 3;
    written.modemTable = {1, 3};
    written.modemFinal = std::vector<std::int32_t>{1, 1};
    written.wlanFinal = {4};
    written.points = {{"CreateThread", 4}};
    ASSERT_TRUE(WriteFaultRecord(path, written));
    std::optional<FaultRecord> read = ReadFaultRecord(path);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->status, 1);
    EXPECT_TRUE(read->faultFailed);
    EXPECT_EQ(read->errorTraces, written.errorTraces);
    EXPECT_EQ(read->failure, written.failure);
    EXPECT_EQ(read->modemFinal, written.modemFinal);
    EXPECT_EQ(read->points, written.points);

    std::ifstream in(path);
    const std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char* cut : {"status ", "error ", "failure-command ", "point "}) {
        std::ofstream(path, std::ios::trunc)
            << whole.substr(0, whole.find(cut) + std::string(cut).size());
        EXPECT_FALSE(ReadFaultRecord(path)) << "cut after '" << cut << "'";
    }
    std::remove(path.c_str());
}

} // namespace
} // namespace host
