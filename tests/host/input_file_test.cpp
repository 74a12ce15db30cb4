// Every file the host is named is looked at without waiting on it: what is
// not a regular file is refused by what it is, through a symbolic link too,
// and a record file is made a regular one before a run, or refused.
#include "host/cli/InputFile.h"
#include "tests/support/temp_path.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace host {
namespace {

class InputFiles : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::remove_all(mDir);
        std::filesystem::create_directories(mDir);
        ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);
        std::filesystem::create_symlink(Path("fifo"), Path("link"));
        std::ofstream(Path("plain.scn")) << "add\n";
        // A socket cannot be opened as a file at all.
        mSocket = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string name = Path("socket");
        ASSERT_LT(name.size(), sizeof address.sun_path);
        name.copy(address.sun_path, name.size());
        ASSERT_EQ(bind(mSocket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    void TearDown() override {
        close(mSocket);
        std::filesystem::remove_all(mDir);
    }
    std::string Path(const std::string& name) const { return mDir + "/" + name; }

    const std::string mDir = halvex::testing::ProcessTempPath("input_files");
    int mSocket = -1;
};

struct Refused {
    std::string path;
    const char* what;
};

TEST_F(InputFiles, WhatIsNotARegularFileIsRefusedByWhatItIsWithoutWaiting) {
    for (const Refused& row :
         {Refused{Path("fifo"), "it is a FIFO (named pipe), not a regular file"},
          Refused{Path("link"), "it is a FIFO (named pipe)"},
          Refused{Path("socket"), "it is a socket, not a regular file"},
          Refused{"/dev/null", "it is a character device"},
          Refused{"/dev/zero", "it is a character device"},
          Refused{mDir, "it is a directory, not a regular file"},
          Refused{Path("missing"), "(No such file or directory)"}}) {
        std::string text = "stale";
        EXPECT_NE(ReadInputFile(row.path, &text).find(row.what), std::string::npos) << row.path;
        EXPECT_EQ(text, "") << row.path;
        if (std::string(row.what).find("No such") == std::string::npos) {
            EXPECT_NE(RegularFileProblem(row.path).find(row.what), std::string::npos) << row.path;
        }
    }
    std::string text;
    EXPECT_EQ(ReadInputFile(Path("plain.scn"), &text), "");
    EXPECT_EQ(text, "add\n");
    EXPECT_EQ(RegularFileProblem(Path("plain.scn")), "");
}

TEST_F(InputFiles, AnOutputFileIsCreatedEmptyOrRefusedBeforeAnythingIsWritten) {
    EXPECT_EQ(CreateOutputFile(Path("record")), "");
    EXPECT_TRUE(std::filesystem::is_regular_file(Path("record")));
    EXPECT_EQ(CreateOutputFile(Path("plain.scn")), "");
    EXPECT_EQ(std::filesystem::file_size(Path("plain.scn")), 0u);
    for (const Refused& row :
         {Refused{Path("fifo"), "it is a FIFO (named pipe), not a regular file"},
          Refused{Path("link"), "it is a FIFO (named pipe)"},
          Refused{Path("socket"), "it is a socket"},
          Refused{"/dev/full", "it is a character device"}, Refused{mDir, "it is a directory"},
          Refused{Path("no/such/folder"), "cannot create the file (No such"}}) {
        EXPECT_NE(CreateOutputFile(row.path).find(row.what), std::string::npos) << row.path;
    }
}

} // namespace
} // namespace host
