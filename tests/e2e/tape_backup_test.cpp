// A backup program's run on the emulated tape, through the library: three
// files written as records, each closed by a filemark, into a tape image
// file; then, on a machine installed afresh from that file, the tape is
// spaced to the second file, which is read back to its filemark.
#include "library_fixture.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

class TapeBackup : public LibraryTest {
protected:
    // Returns the SRB status; `request` keeps the sense.
    BYTE Run(ExecRequest& request, std::vector<BYTE> cdb, BYTE flags, BYTE* buffer, DWORD length) {
        HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        PrepareExec(request, 0, 2, 0, flags | SRB_EVENT_NOTIFY, cdb.data(), static_cast<BYTE>(cdb.size()),
                    buffer, length);
        request.Srb.SRB_PostProc = done;
        if (Send(&request.Srb) == SS_PENDING) WaitForSingleObject(done, 10000);
        CloseHandle(done);
        return request.Srb.SRB_Status;
    }
    void InstallTape() {
        const std::string machine = R"({"ports": [{"buses": [{"units": [{"target": 2, "lun": 0,
            "class_device": "Tape0", "backend": {"type": "tape", "image": ")" +
                                    image_ + R"("}}]}]}]})";
        Install(machine.c_str());
    }
    std::string image_ = "/tmp/ptaspi-backup-" + std::to_string(getpid()) + ".tape";
};

std::vector<BYTE> Six(BYTE opcode, BYTE byte1, DWORD length) {
    return {opcode, byte1, BYTE(length >> 16), BYTE(length >> 8), BYTE(length), 0};
}

std::vector<BYTE> FileRecord(int file, int record) {
    std::vector<BYTE> bytes(1000 + 300 * record + file);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = BYTE(file * 41 + record * 7 + i);
    return bytes;
}

TEST_P(TapeBackup, ThreeFilesWrittenThenTheSecondSpacedToAndReadBack) {
    std::remove(image_.c_str());
    InstallTape();
    ASSERT_TRUE(Load());
    ExecRequest request;
    ASSERT_EQ(Run(request, Six(0x01, 0, 0), 0, nullptr, 0), SS_COMP);
    for (int file = 0; file < 3; ++file) {
        for (int record = 0; record < 3; ++record) {
            std::vector<BYTE> bytes = FileRecord(file, record);
            ASSERT_EQ(Run(request, Six(0x0A, 0, DWORD(bytes.size())), SRB_DIR_OUT, bytes.data(),
                          DWORD(bytes.size())), SS_COMP);
        }
        ASSERT_EQ(Run(request, Six(0x10, 0, 1), 0, nullptr, 0), SS_COMP);
    }
    Unload();
    sim::UninstallMachine();

    // The image holds the magic, then for each file three length-prefixed
    // records and a filemark.
    std::ifstream in(image_, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t expected = 8;
    for (int file = 0; file < 3; ++file) {
        for (int record = 0; record < 3; ++record) expected += 4 + FileRecord(file, record).size();
        expected += 4;
    }
    ASSERT_EQ(bytes.size(), expected);
    EXPECT_EQ(std::string(bytes.data(), 8), "PTAPE001");
    EXPECT_EQ(std::string(&bytes[bytes.size() - 4], 4), std::string(4, '\xFF'));

    InstallTape();
    ASSERT_TRUE(Load());
    ASSERT_EQ(Run(request, Six(0x11, 1, 1), 0, nullptr, 0), SS_COMP) << "SPACE over one filemark";
    std::vector<BYTE> buffer(4096);
    for (int record = 0; record < 3; ++record) {
        const std::vector<BYTE> want = FileRecord(1, record);
        ASSERT_EQ(Run(request, Six(0x08, 0, DWORD(want.size())), SRB_DIR_IN, buffer.data(), DWORD(want.size())),
                  SS_COMP);
        EXPECT_TRUE(std::equal(want.begin(), want.end(), buffer.begin())) << "record " << record;
    }
    // The file's end: FILEMARK with the whole length as the residue.
    ASSERT_EQ(Run(request, Six(0x08, 0, 4096), SRB_DIR_IN, buffer.data(), 4096), SS_ERR);
    EXPECT_EQ(request.Sense[0], 0xF0) << "VALID and current error";
    EXPECT_EQ(request.Sense[2], 0x80) << "FILEMARK, NO SENSE";
    EXPECT_EQ(request.Sense[3] << 24 | request.Sense[4] << 16 | request.Sense[5] << 8 | request.Sense[6], 4096);
    EXPECT_EQ(request.Sense[12] << 8 | request.Sense[13], 0x0001);
    // READ POSITION: six records and two filemarks lie before the head.
    BYTE position[20] = {};
    ASSERT_EQ(Run(request, {0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}, SRB_DIR_IN, position, 20), SS_COMP);
    EXPECT_EQ(position[7], 8);
    std::remove(image_.c_str());
}

LIBRARY_TEST_SUITE(TapeBackup);

}  // namespace
