// INQUIRY, READ CAPACITY and TEST UNIT READY of each real unit, through the
// library, agree with what libiscsi's own tools and calls report for the
// same logical unit.
#include "iscsi/iscsi_fixture.h"
#include "iscsi/libiscsi_unit.h"

#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>

#include <functional>
#include <map>
#include <regex>
#include <sstream>

namespace iscsitest {
namespace {

const BYTE checkCondition = 0x02;

// Returns each "Label:value" line of a tool's output, in order.
std::multimap<std::string, std::string> LabelledLines(const std::string& text) {
    std::multimap<std::string, std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const size_t colon = line.find(':');
        if (colon != std::string::npos) lines.emplace(line.substr(0, colon), line.substr(colon + 1));
    }
    return lines;
}

std::string Bit(const BYTE* inquiry, int byte, int shift, int mask = 1) {
    return std::to_string(inquiry[byte] >> shift & mask);
}

std::string Text(const BYTE* inquiry, int from, int to) {
    return std::string(reinterpret_cast<const char*>(inquiry) + from, to - from);
}

// Each field iscsi-inq prints for the standard page, read from the bytes
// the library returned as iscsi-inq reads them from its own.
const std::pair<const char*, std::function<std::string(const BYTE*)>> inquiryFields[] = {
    {"Peripheral Qualifier",
     [](const BYTE* b) {
         return scsi_devqualifier_to_str(static_cast<scsi_inquiry_peripheral_qualifier>(b[0] >> 5));
     }},
    {"Peripheral Device Type",
     [](const BYTE* b) {
         return scsi_devtype_to_str(static_cast<scsi_inquiry_peripheral_device_type>(b[0] & 0x1F));
     }},
    {"Removable", [](const BYTE* b) { return Bit(b, 1, 7); }},
    {"Version", [](const BYTE* b) { return std::to_string(b[2]); }},
    {"NormACA", [](const BYTE* b) { return Bit(b, 3, 5); }},
    {"HiSup", [](const BYTE* b) { return Bit(b, 3, 4); }},
    {"ReponseDataFormat", [](const BYTE* b) { return Bit(b, 3, 0, 15); }},
    {"SCCS", [](const BYTE* b) { return Bit(b, 5, 7); }},
    {"ACC", [](const BYTE* b) { return Bit(b, 5, 6); }},
    {"TPGS", [](const BYTE* b) { return Bit(b, 5, 4, 3); }},
    {"3PC", [](const BYTE* b) { return Bit(b, 5, 3); }},
    {"Protect", [](const BYTE* b) { return Bit(b, 5, 0); }},
    {"EncServ", [](const BYTE* b) { return Bit(b, 6, 6); }},
    {"MultiP", [](const BYTE* b) { return Bit(b, 6, 4); }},
    {"SYNC", [](const BYTE* b) { return Bit(b, 7, 4); }},
    {"CmdQue", [](const BYTE* b) { return Bit(b, 7, 1); }},
    {"Vendor", [](const BYTE* b) { return Text(b, 8, 16); }},
    {"Product", [](const BYTE* b) { return Text(b, 16, 32); }},
    {"Revision", [](const BYTE* b) { return Text(b, 32, 36); }},
};

// The fields iscsi-readcapacity16 prints, read from READ CAPACITY(16) data.
uint64_t Be(const BYTE* bytes, int count) {
    uint64_t value = 0;
    for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
    return value;
}
const std::pair<const char*, std::function<uint64_t(const BYTE*)>> capacityFields[] = {
    {"RETURNED LOGICAL BLOCK ADDRESS", [](const BYTE* d) { return Be(d, 8); }},
    {"LOGICAL BLOCK LENGTH IN BYTES", [](const BYTE* d) { return Be(d + 8, 4); }},
    {"P_TYPE", [](const BYTE* d) { return uint64_t(d[12] >> 1 & 7); }},
    {"PROT_EN", [](const BYTE* d) { return uint64_t(d[12] & 1); }},
    {"P_I_EXPONENT", [](const BYTE* d) { return uint64_t(d[13] >> 4); }},
    {"LOGICAL BLOCKS PER PHYSICAL BLOCK EXPONENT", [](const BYTE* d) { return uint64_t(d[13] & 15); }},
    {"LBPME", [](const BYTE* d) { return uint64_t(d[14] >> 7); }},
    {"LBPRZ", [](const BYTE* d) { return uint64_t(d[14] >> 6 & 1); }},
    {"LOWEST ALIGNED LOGICAL BLOCK ADDRESS", [](const BYTE* d) { return Be(d + 14, 2) & 0x3FFF; }},
};

class UnitAnswers : public iscsitest::IscsiTest {
protected:
    void SetUp() override {
        IscsiTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        InstallTarget(0);
    }
};

TEST_P(UnitAnswers, InquiryAgreesWithIscsiInq) {
    for (BYTE target : {DiskTarget, CdTarget, TapeTarget}) {
        SCOPED_TRACE(Url(target));
        BYTE data[96] = {};
        ExecRequest request;
        Execute(request, target, SRB_DIR_IN, {0x12, 0, 0, 0, sizeof data, 0}, data, sizeof data);
        ASSERT_EQ(request.Srb.SRB_Status, SS_COMP);

        int exitCode = -1;
        const auto tool = LabelledLines(RunCommand("iscsi-inq '" + Url(target) + "'", &exitCode));
        ASSERT_EQ(exitCode, 0);
        for (const auto& field : inquiryFields) {
            auto printed = tool.find(field.first);
            ASSERT_NE(printed, tool.end()) << field.first;
            // Texts are printed whole, spaces included; "Version" has its
            // standard's name after the number.
            const std::string& line = printed->second;
            const bool text = std::string("VendorProductRevision").find(field.first) != std::string::npos;
            EXPECT_EQ(field.second(data), text ? line : line.substr(0, line.find(' '))) << field.first;
        }
        // The version descriptors iscsi-inq lists are the non-zero ones.
        std::vector<std::string> listed, ours;
        auto range = tool.equal_range("Version Descriptor");
        for (auto it = range.first; it != range.second; ++it) listed.push_back(it->second.substr(0, 4));
        for (int at = 58; at < 74; at += 2) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "%04x", unsigned(Be(data + at, 2)));
            if (Be(data + at, 2) != 0) ours.push_back(hex);
        }
        EXPECT_EQ(ours, listed);
    }
}

// Where iscsi-readcapacity16 cannot answer (tgt refuses READ CAPACITY(16)
// to its CD-ROM and tape units) the library must refuse alike.
const struct {
    BYTE target;
    BYTE status;
    BYTE targetStatus;
    uint32_t sense;  // key, ASC, ASCQ
} capacityCases[] = {
    {DiskTarget, SS_COMP, 0, 0},
    {CdTarget, SS_ERR, checkCondition, 0x052000},
    {TapeTarget, SS_ERR, checkCondition, 0x052000},
};

TEST_P(UnitAnswers, ReadCapacity16AgreesWithIscsiReadcapacity16) {
    for (const auto& c : capacityCases) {
        SCOPED_TRACE(Url(c.target));
        BYTE data[32] = {};
        ExecRequest request;
        Execute(request, c.target, SRB_DIR_IN, {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0},
                data, sizeof data);
        EXPECT_EQ(request.Srb.SRB_Status, c.status);
        EXPECT_EQ(request.Srb.SRB_TargStat, c.targetStatus);
        if (c.sense != 0) {
            EXPECT_EQ(SenseCode(request.Sense), c.sense) << std::hex;
        }

        int exitCode = -1;
        const std::string text =
            RunCommand("iscsi-readcapacity16 '" + Url(c.target) + "' 2>/dev/null", &exitCode);
        EXPECT_EQ(exitCode == 0, c.status == SS_COMP) << text;
        if (exitCode != 0) continue;
        std::map<std::string, uint64_t> printed;
        const std::regex field("([A-Z_][A-Z_ ]*[A-Z_]):([0-9]+)");
        for (std::sregex_iterator it(text.begin(), text.end(), field), end; it != end; ++it) {
            printed[(*it)[1]] = std::stoull((*it)[2]);
        }
        for (const auto& f : capacityFields) {
            ASSERT_EQ(printed.count(f.first), 1u) << f.first;
            EXPECT_EQ(f.second(data), printed[f.first]) << f.first;
        }
    }
}

TEST_P(UnitAnswers, ReadCapacity10AgreesWithTheBackingFiles) {
    const struct {
        BYTE target;
        const char* file;
        uint32_t blockSize;
    } cases[] = {{DiskTarget, "disk.img", 512}, {CdTarget, "cd.iso", 2048}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        BYTE data[8] = {};
        ExecRequest request;
        Execute(request, c.target, SRB_DIR_IN, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, data, sizeof data);
        ASSERT_EQ(request.Srb.SRB_Status, SS_COMP);
        int exitCode = -1;
        const uint64_t size =
            std::stoull(RunCommand("stat -c %s '" + Folder() + "/" + c.file + "'", &exitCode));
        EXPECT_EQ(Be(data, 4), size / c.blockSize - 1);
        EXPECT_EQ(Be(data + 4, 4), c.blockSize);
    }
}

TEST_P(UnitAnswers, TestUnitReadyAgreesWithLibiscsi) {
    for (BYTE target : {DiskTarget, CdTarget, TapeTarget}) {
        SCOPED_TRACE(Url(target));
        LibiscsiUnit unit;
        std::string error;
        ASSERT_TRUE(OpenLibiscsiUnit(Url(target), unit, error)) << error;
        scsi_task* task = iscsi_testunitready_sync(unit.context, unit.lun);
        ASSERT_NE(task, nullptr) << iscsi_get_error(unit.context);
        const int status = task->status;
        scsi_free_scsi_task(task);
        CloseLibiscsiUnit(unit);

        ExecRequest request;
        Execute(request, target, 0, {0, 0, 0, 0, 0, 0}, nullptr, 0);
        EXPECT_EQ(request.Srb.SRB_TargStat, status);
        EXPECT_EQ(request.Srb.SRB_Status, status == 0 ? SS_COMP : SS_ERR);
    }
}

LIBRARY_TEST_SUITE(UnitAnswers);

}  // namespace
}  // namespace iscsitest
