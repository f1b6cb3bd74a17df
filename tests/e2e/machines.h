// Machines shared by the end-to-end tests.
#ifndef PTASPI_TESTS_E2E_MACHINES_H
#define PTASPI_TESTS_E2E_MACHINES_H

// One hba port, one bus: an unclaimed processor at target 1 whose TEST UNIT
// READY hangs until released (to keep the worker busy), an unclaimed
// scripted unit at target 2 that answers everything with GOOD, and a claimed
// disk at target 0 reached through PhysicalDrive0.
constexpr char busyWorkerMachine[] = R"({
  "ports": [
    {"driver": "hba", "buses": [{"units": [
      {"target": 0, "lun": 0, "class_device": "PhysicalDrive0",
       "backend": {"type": "disk", "blocks": 64}},
      {"target": 1, "lun": 0, "claimed": false, "inquiry": {"peripheral": 3},
       "backend": {"type": "scripted", "responses": [{"opcode": "0x00", "hang": true}]}},
      {"target": 2, "lun": 0, "claimed": false, "inquiry": {"peripheral": "0x7F"},
       "backend": {"type": "scripted", "responses": [{"status": 0}]}}
    ]}]}
  ]
})";

#endif
