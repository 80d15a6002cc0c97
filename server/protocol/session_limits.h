#pragma once
// How long an installer may stay silent and still be alive, by what it is
// doing: the one rule by which the server decides that a session may make
// room for another installer, and by which the board shows a machine
// silent. An installer waits at most 30 s for any reply before it gives up,
// so one that should be asking and has not for 2 minutes is gone; between
// the offer and the start it prepares its disk, and after the last file it
// runs its last steps, asking nothing for minutes.

#include <cstdint>

constexpr int64_t kAskingSilenceSeconds = 120;
constexpr int64_t kBusySilenceSeconds = 15 * 60;
// A finished installer repeats its closing request every second until it
// hears the answer: three seconds without one, it has heard it and is gone.
constexpr int64_t kFinishedSilenceSeconds = 3;
// An offer holds a place in the session table this long: the installer
// takes it with its next request, within milliseconds.
constexpr int64_t kOfferHoldSeconds = 3;
