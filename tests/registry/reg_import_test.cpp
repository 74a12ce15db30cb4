// Importing registry exports into the machine's registry.
#include "platform/sim/registry.h"
#include "tests/support/temp_path.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>

namespace {

namespace reg = sim::registry;

// Text with NUL characters in it, all of the literal.
template <std::size_t N> std::string Literal(const char (&text)[N]) {
    return std::string(text, N - 1);
}

class RegImport : public ::testing::Test {
protected:
    void SetUp() override { reg::Reset(); }
};

ULONG DwordOf(const reg::Value& v) {
    ULONG out = 0;
    std::memcpy(&out, v.data.data(), sizeof(out));
    return out;
}

TEST_F(RegImport, ReadsKeysAndEveryValueForm) {
    auto result = reg::ImportRegText(
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; the device's configuration\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\X\\Device Parameters]\r\n"
        "\"NumberOfChannels\"=dword:00000001\r\n"
        "[Device Parameters\\Channel0]\r\n"
        "\"ChannelType\"=\"MO\\\"DEM\\\\\"\r\n"
        "\"Blob\"=hex:01,ab,\\\r\n"
        "  ff\r\n"
        "\"Multi\"=hex(7):41,00,00,00,00,00\r\n"
        "@=dword:a\r\n"
        "[Device Parameters\\Channel0\\0]\r\n",
        "cfg.reg");
    ASSERT_TRUE(result) << result.error;

    EXPECT_EQ(DwordOf(*reg::GetValue("Device Parameters", u"numberofchannels")), 1u);
    auto type = reg::GetValue("Device Parameters\\channel0", u"ChannelType");
    ASSERT_TRUE(type);
    EXPECT_EQ(type->type, REG_SZ);
    std::u16string expected = u"MO\"DEM\\";
    ASSERT_EQ(type->data.size(), (expected.size() + 1) * 2);
    EXPECT_EQ(std::memcmp(type->data.data(), expected.c_str(), type->data.size()), 0);
    auto blob = reg::GetValue("Device Parameters\\Channel0", u"Blob");
    EXPECT_EQ(blob->type, REG_BINARY);
    EXPECT_EQ(blob->data, (std::vector<std::uint8_t>{0x01, 0xAB, 0xFF}));
    EXPECT_EQ(reg::GetValue("Device Parameters\\Channel0", u"Multi")->type, REG_MULTI_SZ);
    EXPECT_EQ(DwordOf(*reg::GetValue("Device Parameters\\Channel0", u"")), 10u);
    EXPECT_TRUE(reg::KeyExists("Device Parameters\\Channel0\\0"));
}

TEST_F(RegImport, AnErrorNamesFileAndLineAndImportsNothing) {
    // After the header and a [Device Parameters] line, but for the first two.
    const std::string head = "Windows Registry Editor Version 5.00\n[Device Parameters]\n";
    const std::pair<std::string, const char*> cases[] = {
        {"[Device Parameters]\n", "bad.reg:1: expected the header"},
        {"Windows Registry Editor Version 5.00\n\"A\"=dword:1\n",
         "bad.reg:2: value before any key"},
        {head + "\"A\"=dword:123456789\n", "bad.reg:3: dword needs 1 to 8 hex digits"},
        {head + "\"A\"=dword:xyz\n", "bad.reg:3: bad hex digit"},
        {head + "\"A\"=hex:1,02\n", "bad.reg:3: bad hex byte"},
        {head + "\"A\"=\"open\n", "bad.reg:3: unterminated string"},
        {"Windows Registry Editor Version 5.00\n[Other Key]\n", "bad.reg:2: key is not under"},
        {"Windows Registry Editor Version 5.00\n[Device Parameters\n", "bad.reg:2: key line"},
        {head + "A=1\n", "bad.reg:3: unrecognised line"},
        {head + "\"A\"=qword:1\n", "bad.reg:3: unknown value format"},
        {head + Literal("\"A\0B\"=dword:1\n"), "bad.reg:3: a NUL character in the value"},
        {head + Literal("[Device Parameters\\c\0x]\n"), "bad.reg:3: a NUL character in the key"},
        {head + "[Device Parameters\\channel0\\" + std::string(256, 'k') + "]\n",
         "bad.reg:3: the key name \"kkkk"},
        {head + "[Device Parameters\\channel0\\" + std::string(256, 'k') + "]\n",
         "...\" in [Device Parameters\\channel0] is longer than the registry's limit of 255"},
        {head + "\"" + std::string(16384, 'v') + "\"=dword:1\n", "limit of 16383 characters"},
        // What is not UTF-16 in a UTF-16 export is refused on its line.
        {Literal("\xFF\xFEW\0\n\0X"), "bad.reg:2: invalid UTF-16 (an odd trailing byte)"},
        {Literal("\xFF\xFE\n\0\x00\xD8X\0"), "bad.reg:2: invalid UTF-16 (a lone surrogate)"},
        {Literal("\xFF\xFE\x00\xDC"), "bad.reg:1: invalid UTF-16 (a lone surrogate)"},
        // UTF-8 is read strictly: an overlong form, a surrogate or a sequence
        // cut short names nothing, whatever a lax reader would make of it.
        {head + "\"T\xC1\xB9pe\"=\"APPS\"\n", "bad.reg:3: invalid UTF-8"},
        {head + "\"ID\"=\"\xE0\x81\xB1\"\n", "bad.reg:3: invalid UTF-8"},
        {head + "\"ID\"=\"\xED\xA0\x80\"\n", "bad.reg:3: invalid UTF-8"},
        {head + "[Device Parameters\\\xF0\x9F\x98]\n", "bad.reg:3: invalid UTF-8"},
        // UTF-32 is named as such, its mark not taken for UTF-16's.
        {Literal("\xFF\xFE\0\0W\0\0\0"), "bad.reg:1: the file is UTF-32 little-endian:"},
        {Literal("\0\0\xFE\xFF\0\0\0W"), "bad.reg:1: the file is UTF-32 big-endian:"},
        {Literal("W\0\0\0i\0\0\0"), "UTF-32 little-endian (without a byte-order mark)"},
    };
    for (const auto& [text, error] : cases) {
        reg::Reset();
        auto result = reg::ImportRegText(text, "bad.reg");
        EXPECT_FALSE(result) << ::testing::PrintToString(text);
        EXPECT_NE(result.error.find(error), std::string::npos)
            << ::testing::PrintToString(result.error);
    }
    // A later error keeps the earlier, sound lines out too.
    auto result = reg::ImportRegText("Windows Registry Editor Version 5.00\n"
                                     "[Device Parameters\\Channel0]\n"
                                     "\"NumberOfChannels\"=dword:1\n"
                                     "\"Broken\"=hex:zz\n",
                                     "bad.reg");
    EXPECT_FALSE(result);
    EXPECT_FALSE(reg::KeyExists("Device Parameters\\Channel0"));
}

TEST_F(RegImport, ReadsFilesIncludingUtf16Exports) {
    const std::string path = halvex::testing::ProcessTempPath("utf16.reg");
    std::u16string text = u"Windows Registry Editor Version 5.00\r\n[Device Parameters]\r\n"
                          u"\"WlanAntCount\"=dword:00000002\r\n";
    {
        std::ofstream out(path, std::ios::binary);
        out.write("\xFF\xFE", 2);
        for (char16_t c : text) {
            char bytes[2] = {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
            out.write(bytes, 2);
        }
    }
    auto result = reg::ImportRegFile(path);
    std::remove(path.c_str());
    ASSERT_TRUE(result) << result.error;
    EXPECT_EQ(DwordOf(*reg::GetValue("Device Parameters", u"WlanAntCount")), 2u);

    auto missing = reg::ImportRegFile(::testing::TempDir() + "no-such.reg");
    EXPECT_FALSE(missing);
    EXPECT_NE(missing.error.find("no-such.reg"), std::string::npos);
}

} // namespace
