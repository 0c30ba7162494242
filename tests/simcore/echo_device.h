// A small test firmware behind the simulator's device seam: what the host
// writes to OUT endpoint 0x01 (interrupt) or 0x02 (bulk) comes back on IN
// endpoint 0x81 or 0x82, one message per read. IN endpoint 0x83 delivers
// only what the "push" command queued.
//
// Identities: ECHO (1209:0001) and ECHO2 (1209:0002).
//
// Control words:
//   ordinal                 the device's index among its identity
//   resets                  how many USB resets it saw since power-on
//   pending EP              messages queued on IN endpoint EP (hex)
//   push EP HEX             queue the bytes HEX on IN endpoint EP
//   delay MS                every OUT transfer takes MS milliseconds
//   wait-readers N MS       wait up to MS ms until N reads are waiting
//   wait-writers N MS       the same for OUT transfers in progress
#pragma once

#include <cstdint>

namespace echo {

constexpr uint16_t kVendorId = 0x1209;
constexpr uint16_t kProductId = 0x0001;
constexpr uint16_t kProductId2 = 0x0002;

}  // namespace echo
