// The writer backend's members and the CD-ROM's cue sheet in machine files.
#include "sim/machine/machine.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Returns the loader's message for a machine of one unit with `backend`
// ("" when it loads), and that unit's backend in `out`.
std::string Load(const std::string& backend, sim::BackendConfig* out = nullptr) {
    const std::string text = R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "drive": "E", "backend": )" +
                             backend + "}]}]}]}";
    sim::Machine machine;
    std::string error;
    if (!sim::ParseMachine(text, machine, error)) return error;
    if (out != nullptr) *out = machine.ports[0].buses[0].units[0].backend;
    return "";
}

TEST(MachineFileOptical, WriterMembersAndDefaults) {
    sim::BackendConfig backend;
    ASSERT_EQ(Load(R"({"type": "writer"})", &backend), "");
    EXPECT_EQ(backend.type, sim::BackendType::Writer);
    EXPECT_EQ(backend.media, sim::WriterMedia::CdR);
    EXPECT_EQ(backend.state, sim::WriterDiscState::Blank);
    EXPECT_EQ(backend.capacityBlocks, 359846u);
    ASSERT_EQ(Load(R"({"type": "writer", "media": "dvd+r", "state": "appendable", "image": "/tmp/x.iso"})",
                   &backend), "");
    EXPECT_EQ(backend.media, sim::WriterMedia::DvdPlusR);
    EXPECT_EQ(backend.state, sim::WriterDiscState::Appendable);
    EXPECT_EQ(backend.capacityBlocks, 2295104u);
    EXPECT_EQ(backend.image, "/tmp/x.iso");
    ASSERT_EQ(Load(R"({"type": "writer", "media": "none", "capacity_blocks": 1000})", &backend), "");
    EXPECT_FALSE(backend.medium);
    EXPECT_EQ(backend.capacityBlocks, 1000u);

    const std::string at = "ports[0].buses[0].units[0].backend.";
    EXPECT_EQ(Load(R"({"type": "writer", "media": "bd-r"})"),
              at + "media: expected \"cd-r\", \"cd-rw\", \"dvd-r\", \"dvd+r\", \"dvd-rw\", \"dvd+rw\" or \"none\"");
    EXPECT_EQ(Load(R"({"type": "writer", "state": "open"})"),
              at + "state: expected \"blank\", \"appendable\" or \"closed\"");
    EXPECT_NE(Load(R"({"type": "writer", "capacity_blocks": 0})"), "");
    EXPECT_NE(Load(R"({"type": "writer", "blocks": 10})").find("unknown member 'blocks'"), std::string::npos);
}

TEST(MachineFileOptical, CueSheetExcludesImageAndBlocks) {
    sim::BackendConfig backend;
    ASSERT_EQ(Load(R"({"type": "cdrom", "cue": "/tmp/disc.cue"})", &backend), "");
    EXPECT_EQ(backend.cue, "/tmp/disc.cue");
    EXPECT_EQ(backend.blocks, 0u);
    const std::string message = "ports[0].buses[0].units[0].backend.cue: not allowed together with 'image' or 'blocks'";
    EXPECT_EQ(Load(R"({"type": "cdrom", "cue": "a.cue", "image": "a.iso"})"), message);
    EXPECT_EQ(Load(R"({"type": "cdrom", "cue": "a.cue", "blocks": 10})"), message);
}

}  // namespace
