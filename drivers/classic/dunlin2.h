// The classic adapter driver (DUNLIN1 = type 3, DUNLIN2 = type 4): the
// operations the library facade calls for these type codes.
//
// Each function names its adapter by type code (3 or 4) and device index
// (0..31), and most also by channel (0 or 1). Results: 1 for success and 0
// for failure, or a count where one is named. The cause of a failure is left
// in the last-error record:
//   6  type not 3 or 4            8  index 32 or more, channel 2 or more
//   7  device not open (replaces 6 or 8 in the open checks)
//   13 channel not initialised (replaces 6, 7 or 8 in the initialised checks)
//   12 the adapter did not answer a command    3  a bulk write of frames failed
//   14 a frame with rtr or ext above 1 or len above 8
#pragma once

#include <cstdint>

#include "kcan.h"

// 1 when open (also when it already was); 0 when the parameters are bad or
// the adapter cannot be opened (logs "DUNLIN Open Fail...", no error code).
uint32_t dunlin2OpenDevice(uint32_t type, uint32_t index, uint32_t reserved);
// Resets both channels, stops the service thread, releases the adapter. 1
// also when the device was not open; 0 only for bad parameters. The receive
// queues keep their frames.
uint32_t dunlin2CloseDevice(uint32_t type, uint32_t index);

// Sends the channel init (bit-timing bytes timing0/timing1, mode 0 or 1). On
// success keeps a copy of config for recovery after a fault, marks the
// channel initialised and empties its receive queue. 1 when accepted.
uint32_t dunlin2InitCAN(uint32_t type, uint32_t index, uint32_t channel, _KCAN_INIT_CONFIG* config);
// Starts an initialised channel; an adapter that takes the command without
// answering counts as started. 1 when started.
uint32_t dunlin2StartCAN(uint32_t type, uint32_t index, uint32_t channel);
// Sends the channel reset (no reply is awaited) and empties the channel's
// queue; the channel stays initialised. 1 once the device is open.
uint32_t dunlin2ResetCAN(uint32_t type, uint32_t index, uint32_t channel);

// Versions, channel count, serial number and hardware type. The other fields
// of info are not written. 1 when board query 1 was answered.
uint32_t dunlin2ReadBoardInfo(uint32_t type, uint32_t index, _KCAN_BOARD_INFO* info);

// Frames waiting in the channel's queue (channel initialised).
uint32_t dunlin2GetReceiveNum(uint32_t type, uint32_t index, uint32_t channel);
// Empties the channel's queue (channel initialised). 1.
uint32_t dunlin2ClearBuffer(uint32_t type, uint32_t index, uint32_t channel);

// Sends the low 16 bits of count frames, three per bulk transfer. Returns the
// number handed to the adapter: 0 with error 14 when a frame is malformed
// (even after earlier batches went out), the frames of the batches sent so
// far with error 3 when a bulk write fails, 0 without a code while the
// adapter is being recovered.
uint32_t dunlin2Transmit(uint32_t type, uint32_t index, uint32_t channel, _KCAN_CAN_OBJ* frames,
                         uint64_t count);
// Moves up to capacity frames from the channel's queue (channel 0, or
// channel 1 for any other number) into frames. Waits up to waitMs for the
// first frame (-1: no limit, 0: one look); returns as soon as any frame was
// taken. Works whether or not the device is open: frames queued before a
// close can still be read.
uint32_t dunlin2Receive(uint32_t type, uint32_t index, uint32_t channel, _KCAN_CAN_OBJ* frames,
                        uint32_t capacity, int32_t waitMs);

// Device-level services; each waits up to 1 s for the adapter's answer (3 s
// for the data transfer). Out-parameters are written only on success.
uint32_t dunlin2DevRelayStatusSet(uint32_t type, uint32_t index, uint8_t a, uint8_t b);
uint32_t dunlin2DevRelayStatusGet(uint32_t type, uint32_t index, uint8_t* a, uint8_t* b);
uint32_t dunlin2DevBaudParaGet(uint32_t type, uint32_t index, uint8_t channel, uint8_t* p1,
                               uint8_t* p2);
uint32_t dunlin2DevChStateGet(uint32_t type, uint32_t index, uint8_t channel, uint8_t* s1,
                              uint8_t* s2, uint8_t* s3);
// Sends "12 A7" and the first min(len, 62) bytes of data; copies the reply
// after its two leading bytes back into data, which must hold 62 bytes.
// Returns that count (0 on failure).
uint32_t dunlin2DevDataTransfer(uint32_t type, uint32_t index, uint8_t* data, int32_t len);
