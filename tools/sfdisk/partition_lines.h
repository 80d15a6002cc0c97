#pragma once
// The tool's input: one line per partition slot, in slot order,
//   start,size,type[,bootable]
// start and size in cylinders (decimal), type in hexadecimal as in a
// partition entry, bootable "*" (yes) or "-" (no, the default). A size of 0
// ("0,0,0") asks for an empty slot. Blank lines are ignored.

#include <cstdint>
#include <string>
#include <vector>

struct PartitionRequest {
  uint32_t startCylinder = 0;
  uint32_t sizeCylinders = 0;
  uint8_t type = 0;
  bool bootable = false;

  bool isEmpty() const { return sizeCylinders == 0; }
};

// Parses one line (without its newline). On failure returns false and says
// why in `error`; `request` is then unspecified.
[[nodiscard]] bool parsePartitionLine(const std::string& line, PartitionRequest& request,
                                      std::string& error);

// Parses the whole input. On failure returns false with "line N: why".
[[nodiscard]] bool parsePartitionInput(const std::string& text,
                                       std::vector<PartitionRequest>& requests,
                                       std::string& error);
