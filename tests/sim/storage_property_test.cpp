// IOCTL_STORAGE_QUERY_PROPERTY: the device and adapter descriptors, the
// documented short-buffer rules, and the unknown-control record.
#include "devices_test_support.h"

#include "sim/devices/storage_property.h"

#include <string>
#include <vector>

namespace {

const char* const storageMachine = R"({
  "ports": [
    {"driver": "atapi",
     "capabilities": {"MaximumTransferLength": 131072, "MaximumPhysicalPages": 33,
                      "AlignmentMask": 1},
     "buses": [{"units": [
        {"target": 1, "lun": 0, "class_device": "CdRom0", "drive": "D",
         "inquiry": {"vendor": "LUMOPTIC", "product": "CDR-52X ATAPI", "revision": "1.07"},
         "backend": {"type": "cdrom", "blocks": 16}}]}]},
    {"capabilities": {"MaximumTransferLength": 65536, "MaximumPhysicalPages": 17,
                      "AlignmentMask": 3, "TaggedQueuing": true},
     "buses": [{"units": [
        {"target": 0, "lun": 0, "class_device": "PhysicalDrive0",
         "inquiry": {"vendor": "KESTREL", "product": "KS-3200 ULTRA", "revision": "0412"},
         "backend": {"type": "disk", "blocks": 64}}]}]}
  ],
  "drives": [{"letter": "C", "type": "fixed"}]
})";

class StoragePropertyTest : public devices_test::DevicesTest {
protected:
    void SetUp() override {
        DevicesTest::SetUp();
        Install(storageMachine);
        sim::ClearUnknownControlLog();
    }

    // Returns the error of the query (0 on success) on \\.\<name>, with the
    // bytes returned in `answer` (sized to the output length first).
    static DWORD Query(const char* name, DWORD property, DWORD type, std::vector<uint8_t>& answer,
                       DWORD inputLength = sizeof(sim::STORAGE_PROPERTY_QUERY)) {
        HANDLE handle = Open(name, 0);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE) << name;
        sim::STORAGE_PROPERTY_QUERY query = {property, type, {0}};
        DWORD returned = 0xDEAD;
        const BOOL done = DeviceIoControl(handle, sim::IOCTL_STORAGE_QUERY_PROPERTY, &query,
                                          inputLength, answer.empty() ? nullptr : answer.data(),
                                          static_cast<DWORD>(answer.size()), &returned, nullptr);
        const DWORD error = done ? 0 : GetLastError();
        answer.resize(done ? returned : 0);
        CloseHandle(handle);
        return error;
    }

    // Returns the 32-bit field at `offset` of `bytes`.
    static uint32_t Field(const std::vector<uint8_t>& bytes, size_t offset) {
        uint32_t value = 0;
        std::memcpy(&value, bytes.data() + offset, sizeof value);
        return value;
    }
    // Returns the NUL-terminated text at the offset that the field at
    // `fieldOffset` holds.
    static std::string TextAt(const std::vector<uint8_t>& bytes, size_t fieldOffset) {
        return reinterpret_cast<const char*>(bytes.data() + Field(bytes, fieldOffset));
    }
};

TEST_F(StoragePropertyTest, DeviceDescriptorCarriesTheUnitsIdentityAfterAHeaderOnlySizeQuery) {
    std::vector<uint8_t> header(sizeof(sim::STORAGE_DESCRIPTOR_HEADER));
    ASSERT_EQ(Query("PhysicalDrive0", sim::StorageDeviceProperty, sim::PropertyStandardQuery,
                    header), 0u);
    ASSERT_EQ(header.size(), 8u);
    const uint32_t size = Field(header, 4);
    EXPECT_EQ(Field(header, 0), sizeof(sim::STORAGE_DEVICE_DESCRIPTOR));

    std::vector<uint8_t> whole(size + 100);
    ASSERT_EQ(Query("PhysicalDrive0", sim::StorageDeviceProperty, sim::PropertyStandardQuery,
                    whole), 0u);
    ASSERT_EQ(whole.size(), size);
    EXPECT_EQ(whole[offsetof(sim::STORAGE_DEVICE_DESCRIPTOR, DeviceType)], 0);
    EXPECT_EQ(whole[offsetof(sim::STORAGE_DEVICE_DESCRIPTOR, RemovableMedia)], 0);
    EXPECT_EQ(TextAt(whole, offsetof(sim::STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset)), "KESTREL ");
    EXPECT_EQ(TextAt(whole, offsetof(sim::STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset)),
              "KS-3200 ULTRA   ");
    EXPECT_EQ(TextAt(whole, offsetof(sim::STORAGE_DEVICE_DESCRIPTOR, ProductRevisionOffset)),
              "0412");
    EXPECT_EQ(TextAt(whole, offsetof(sim::STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset)).size(),
              12u);
    EXPECT_EQ(Field(whole, offsetof(sim::STORAGE_DEVICE_DESCRIPTOR, BusType)), sim::BusTypeScsi);
    EXPECT_EQ(Field(whole, offsetof(sim::STORAGE_DEVICE_DESCRIPTOR, RawPropertiesLength)), 36u);

    // Through the drive letter, the CD-ROM: removable, type 5, on ATAPI.
    std::vector<uint8_t> cdrom(512);
    ASSERT_EQ(Query("D:", sim::StorageDeviceProperty, sim::PropertyStandardQuery, cdrom), 0u);
    EXPECT_EQ(cdrom[offsetof(sim::STORAGE_DEVICE_DESCRIPTOR, DeviceType)], 5);
    EXPECT_EQ(cdrom[offsetof(sim::STORAGE_DEVICE_DESCRIPTOR, RemovableMedia)], 1);
    EXPECT_EQ(Field(cdrom, offsetof(sim::STORAGE_DEVICE_DESCRIPTOR, BusType)), sim::BusTypeAtapi);

    // A buffer between the header and the whole gets what fits.
    std::vector<uint8_t> part(20);
    ASSERT_EQ(Query("PhysicalDrive0", sim::StorageDeviceProperty, sim::PropertyStandardQuery,
                    part), 0u);
    EXPECT_EQ(part.size(), 20u);
    EXPECT_EQ(Field(part, 4), size);
}

TEST_F(StoragePropertyTest, AdapterDescriptorIsThePortsCapabilities) {
    for (const char* name : {"PhysicalDrive0", "scsi1:"}) {
        std::vector<uint8_t> answer(64);
        ASSERT_EQ(Query(name, sim::StorageAdapterProperty, sim::PropertyStandardQuery, answer), 0u)
            << name;
        ASSERT_EQ(answer.size(), sizeof(sim::STORAGE_ADAPTER_DESCRIPTOR));
        sim::STORAGE_ADAPTER_DESCRIPTOR adapter;
        std::memcpy(&adapter, answer.data(), sizeof adapter);
        EXPECT_EQ(adapter.MaximumTransferLength, 65536u);
        EXPECT_EQ(adapter.MaximumPhysicalPages, 17u);
        EXPECT_EQ(adapter.AlignmentMask, 3u);
        EXPECT_EQ(adapter.CommandQueueing, 1);
        EXPECT_EQ(adapter.BusType, sim::BusTypeScsi);
    }
}

TEST_F(StoragePropertyTest, RefusalsFollowTheDocumentedRules) {
    std::vector<uint8_t> answer(64);
    // Too small for any data.
    std::vector<uint8_t> tiny(4);
    EXPECT_EQ(Query("PhysicalDrive0", sim::StorageDeviceProperty, sim::PropertyStandardQuery, tiny),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    // A query shorter than STORAGE_PROPERTY_QUERY.
    EXPECT_EQ(Query("PhysicalDrive0", sim::StorageDeviceProperty, sim::PropertyStandardQuery,
                    answer, 8),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // Device properties only from a device.
    answer.assign(64, 0);
    EXPECT_EQ(Query("scsi1:", sim::StorageDeviceProperty, sim::PropertyStandardQuery, answer),
              static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    // A property the drivers do not keep.
    answer.assign(64, 0);
    EXPECT_EQ(Query("PhysicalDrive0", 3, sim::PropertyExistsQuery, answer), 50u);
    // Existence: no structure returned.
    answer.assign(64, 0);
    EXPECT_EQ(Query("PhysicalDrive0", sim::StorageDeviceProperty, sim::PropertyExistsQuery, answer),
              0u);
    EXPECT_TRUE(answer.empty());
    // A volume on no modelled disk answers nothing.
    answer.assign(64, 0);
    EXPECT_EQ(Query("C:", sim::StorageDeviceProperty, sim::PropertyStandardQuery, answer),
              static_cast<DWORD>(ERROR_INVALID_FUNCTION));
}

TEST_F(StoragePropertyTest, UnknownControlsAreRecordedWithTheirDevice) {
    HANDLE handle = Open("CdRom0", 0);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    DWORD returned = 0;
    const DWORD code = 0x2D1080;  // storage, function 0x420, any access: not modelled
    EXPECT_FALSE(DeviceIoControl(handle, code, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    CloseHandle(handle);
    const std::vector<sim::UnknownControlRecord> log = sim::UnknownControlLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].device, "\\\\.\\CdRom0");
    EXPECT_EQ(log[0].controlCode, code);
}

}  // namespace
