// The CD-ROM class controls on CD-ROM class devices and drives: the table
// of contents, the configuration, check verify with its media change count,
// eject, load and removal prevention, their access and their errors
// without a disc.
#include "devices_test_support.h"

#include "sim/devices/cdrom_controls.h"

#include <string>
#include <vector>

namespace {

const char* const cdMachine = R"({
  "ports": [{"buses": [{"units": [
    {"target": 1, "lun": 0, "class_device": "CdRom0", "drive": "D",
     "backend": {"type": "cdrom", "blocks": 4500}},
    {"target": 2, "lun": 0, "class_device": "CdRom1",
     "backend": {"type": "writer", "media": "none"}},
    {"target": 3, "lun": 0, "class_device": "PhysicalDrive0",
     "backend": {"type": "disk", "blocks": 64}}]}]}]
})";

class CdRomControlsTest : public devices_test::DevicesTest {
protected:
    void SetUp() override {
        DevicesTest::SetUp();
        Install(cdMachine);
    }

    // Returns 0 or the control's error; `out` takes the bytes returned.
    static DWORD Send(HANDLE handle, DWORD code, const void* in, DWORD inLength,
                      std::vector<uint8_t>& out) {
        DWORD returned = 0;
        const BOOL done = DeviceIoControl(handle, code, const_cast<void*>(in), inLength,
                                          out.empty() ? nullptr : out.data(),
                                          static_cast<DWORD>(out.size()), &returned, nullptr);
        if (!done) return GetLastError();
        out.resize(returned);
        return 0;
    }
};

TEST_F(CdRomControlsTest, ReadTocAndTocExGiveTheDiscsTable) {
    HANDLE drive = Open("D:", GENERIC_READ);
    ASSERT_NE(drive, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> toc(sizeof(sim::CDROM_TOC), 0);
    ASSERT_EQ(Send(drive, sim::IOCTL_CDROM_READ_TOC, nullptr, 0, toc), 0u);
    ASSERT_EQ(toc.size(), 20u);
    // MSF: track 1 at 00:02:00, the lead-out at 4500 + 150 frames.
    EXPECT_EQ(std::vector<uint8_t>(toc.begin() + 8, toc.begin() + 12), (std::vector<uint8_t>{0, 0, 2, 0}));
    EXPECT_EQ(std::vector<uint8_t>(toc.begin() + 16, toc.begin() + 20), (std::vector<uint8_t>{0, 1, 2, 0}));
    std::vector<uint8_t> small(sizeof(sim::CDROM_TOC) - 1, 0);
    EXPECT_EQ(Send(drive, sim::IOCTL_CDROM_READ_TOC, nullptr, 0, small),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    // READ_TOC_EX: the session format by LBA, then the refusals.
    sim::CDROM_READ_TOC_EX request = {1, 0, 0, 0};
    std::vector<uint8_t> session(12, 0);
    ASSERT_EQ(Send(drive, sim::IOCTL_CDROM_READ_TOC_EX, &request, sizeof request, session), 0u);
    EXPECT_EQ(session, (std::vector<uint8_t>{0, 10, 1, 1, 0, 0x14, 1, 0, 0, 0, 0, 0}));
    std::vector<uint8_t> out(64, 0);
    sim::CDROM_READ_TOC_EX fullMsf = {0x82, 0, 0, 0};
    EXPECT_EQ(Send(drive, sim::IOCTL_CDROM_READ_TOC_EX, &fullMsf, sizeof fullMsf, out),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    sim::CDROM_READ_TOC_EX format6 = {6, 0, 0, 0};
    EXPECT_EQ(Send(drive, sim::IOCTL_CDROM_READ_TOC_EX, &format6, sizeof format6, out),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Send(drive, sim::IOCTL_CDROM_READ_TOC_EX, &request, 3, out), 24u);
    std::vector<uint8_t> one(1, 0);
    EXPECT_EQ(Send(drive, sim::IOCTL_CDROM_READ_TOC_EX, &request, sizeof request, one),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    // The controls need read access; the disk's class device has none of them.
    HANDLE bare = Open("CdRom0", 0);
    EXPECT_EQ(Send(bare, sim::IOCTL_CDROM_READ_TOC, nullptr, 0, toc), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    HANDLE disk = Open("PhysicalDrive0", GENERIC_READ);
    std::vector<uint8_t> config(64, 0);
    sim::GET_CONFIGURATION_IOCTL_INPUT all = {0, 0, {0, 0}};
    EXPECT_EQ(Send(disk, sim::IOCTL_CDROM_GET_CONFIGURATION, &all, sizeof all, config),
              static_cast<DWORD>(ERROR_INVALID_FUNCTION));
}

TEST_F(CdRomControlsTest, WithoutDiscTheConfigurationAnswersAndTheRestIsNotReady) {
    HANDLE writer = Open("CdRom1", GENERIC_READ);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> config(16, 0);
    sim::GET_CONFIGURATION_IOCTL_INPUT current = {0, 1, {0, 0}};
    ASSERT_EQ(Send(writer, sim::IOCTL_CDROM_GET_CONFIGURATION, &current, sizeof current, config), 0u);
    ASSERT_EQ(config.size(), 16u);
    EXPECT_EQ(config[7], 0) << "no current profile";
    EXPECT_EQ(config[9], 0) << "the profile list comes first";
    sim::GET_CONFIGURATION_IOCTL_INPUT bad = {0, 3, {0, 0}};
    EXPECT_EQ(Send(writer, sim::IOCTL_CDROM_GET_CONFIGURATION, &bad, sizeof bad, config),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    std::vector<uint8_t> toc(sizeof(sim::CDROM_TOC), 0);
    EXPECT_EQ(Send(writer, sim::IOCTL_CDROM_READ_TOC, nullptr, 0, toc), 21u);
    std::vector<uint8_t> none;
    EXPECT_EQ(Send(writer, sim::IOCTL_STORAGE_CHECK_VERIFY, nullptr, 0, none), 21u);
}

// Eject, load, check verify and its count, and prevention of removal.
TEST_F(CdRomControlsTest, EjectLoadVerifyAndPrevention) {
    HANDLE cd = Open("CdRom0", GENERIC_READ);
    ASSERT_NE(cd, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> count(4, 0xEE);
    ASSERT_EQ(Send(cd, sim::IOCTL_STORAGE_CHECK_VERIFY, nullptr, 0, count), 0u);
    EXPECT_EQ(count, (std::vector<uint8_t>{0, 0, 0, 0}));
    std::vector<uint8_t> none;
    std::vector<uint8_t> two(2, 0);
    EXPECT_EQ(Send(cd, sim::IOCTL_STORAGE_CHECK_VERIFY, nullptr, 0, two),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    const uint8_t prevent = 1, allow = 0;
    ASSERT_EQ(Send(cd, sim::IOCTL_STORAGE_MEDIA_REMOVAL, &prevent, 1, none), 0u);
    EXPECT_EQ(Send(cd, sim::IOCTL_STORAGE_EJECT_MEDIA, nullptr, 0, none),
              static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(Send(cd, sim::IOCTL_STORAGE_MEDIA_REMOVAL, nullptr, 0, none), 24u);
    ASSERT_EQ(Send(cd, sim::IOCTL_STORAGE_MEDIA_REMOVAL, &allow, 1, none), 0u);
    ASSERT_EQ(Send(cd, sim::IOCTL_STORAGE_EJECT_MEDIA, nullptr, 0, none), 0u);
    EXPECT_EQ(Send(cd, sim::IOCTL_STORAGE_CHECK_VERIFY, nullptr, 0, none), 21u);

    // The load is seen once as a media change, and counted.
    HANDLE noAccess = Open("CdRom0", 0);
    ASSERT_EQ(Send(noAccess, sim::IOCTL_STORAGE_LOAD_MEDIA2, nullptr, 0, none), 0u);
    EXPECT_EQ(Send(noAccess, sim::IOCTL_STORAGE_CHECK_VERIFY2, nullptr, 0, none), 1110u);
    count.assign(4, 0xEE);
    ASSERT_EQ(Send(noAccess, sim::IOCTL_STORAGE_CHECK_VERIFY2, nullptr, 0, count), 0u);
    EXPECT_EQ(count, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(Send(noAccess, sim::IOCTL_STORAGE_EJECT_MEDIA, nullptr, 0, none),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

}  // namespace
