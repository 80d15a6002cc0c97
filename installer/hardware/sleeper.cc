#include "hardware/sleeper.h"

#include <time.h>

#include <cerrno>

namespace {

class SystemSleeper : public Sleeper {
 public:
  void sleepSeconds(unsigned seconds) override {
    timespec left{static_cast<time_t>(seconds), 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }
};

}  // namespace

Sleeper& systemSleeper() {
  static SystemSleeper sleeper;
  return sleeper;
}
