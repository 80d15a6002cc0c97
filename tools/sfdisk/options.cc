#include "options.h"

#include <cstring>

#include "geometry.h"

namespace {

bool parseCount(const char* text, uint32_t limit, uint32_t& value) {
  if (*text == '\0') return false;
  uint64_t number = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
    number = number * 10 + static_cast<uint64_t>(*c - '0');
    if (number > limit) return false;
  }
  value = static_cast<uint32_t>(number);
  return value != 0;
}

// The value of an option given as "-HX" or as "-H X".
const char* optionValue(int argc, char** argv, int& index) {
  if (argv[index][2] != '\0') return argv[index] + 2;
  if (index + 1 < argc) return argv[++index];
  return nullptr;
}

}  // namespace

bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
  options = Options{};
  bool geometry = false, dump = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '-' || arg[1] == '\0') {
      options.devices.push_back(arg);
      continue;
    }
    switch (arg[1]) {
      case 'g':
      case 'd':
      case 'q':
        // Flags may be grouped, as in "-qd".
        for (const char* flag = arg + 1; *flag != '\0'; ++flag) {
          if (*flag == 'g') {
            geometry = true;
          } else if (*flag == 'd') {
            dump = true;
          } else if (*flag == 'q') {
            options.quiet = true;
          } else {
            error = std::string("unknown option '") + arg + "'";
            return false;
          }
        }
        break;
      case 'u': {
        const char* unit = optionValue(argc, argv, i);
        if (unit == nullptr || strcmp(unit, "C") != 0) {
          error = std::string("unsupported unit '") + (unit ? unit : "") +
                  "': only cylinders (-uC) are supported";
          return false;
        }
        break;
      }
      case 'H':
      case 'S': {
        bool heads = arg[1] == 'H';
        const char* value = optionValue(argc, argv, i);
        uint32_t limit = heads ? kMaxHeads : kMaxSectorsPerTrack;
        uint32_t& field = heads ? options.heads : options.sectorsPerTrack;
        if (value == nullptr || !parseCount(value, limit, field)) {
          error = std::string(heads ? "heads" : "sectors per track") + " must be 1 to " +
                  std::to_string(limit);
          return false;
        }
        break;
      }
      default:
        error = std::string("unknown option '") + arg + "'";
        return false;
    }
  }
  if (geometry && dump) {
    error = "-g and -d cannot be combined";
    return false;
  }
  if (geometry) {
    options.command = Options::Command::Geometry;
    return true;
  }
  options.command = dump ? Options::Command::Dump : Options::Command::Write;
  if (options.devices.size() != 1) {
    error = "exactly one device expected";
    return false;
  }
  return true;
}
