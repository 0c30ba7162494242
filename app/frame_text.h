// Frame text: the "-m" argument of the send mode turned into a frame record,
// and the conversions from the library's frame records.
//
// Text form "F1#F2#F3#ID#Data":
//   F1  C|c classic, F|f CAN FD
//   F2  S|s standard identifier, E|e extended identifier
//   F3  D|d data frame, R|r remote frame (the data text is then ignored)
//   ID  hexadecimal identifier text, at most 15 characters
//   Data hexadecimal digit pairs, capped at 8 bytes (classic) or 64 (FD)
// Examples: "C#S#D#123#1122"   classic, id 0x123, data 11 22
//           "F#E#D#1ABCDE#11223344"  FD extended, id 0x1ABCDE, 4 bytes
//           "c#s#d#7FF#"       classic, id 0x7FF, no data
#pragma once

#include <cstdint>

#include "app/user_obj.h"

// Parses the frame text into obj (cleared first). Returns 0 and logs a
// "msg->fd:..." line on success; -1 for a null argument or any syntax error
// (no message: the caller reports it).
int cmdLineStrMsgParse(const char* text, _KCAN_USER_OBJ* obj);

// Wraps a library record: sets isFd (0 / 1) and copies the frame into the
// matching side of obj; nothing else of obj changes. Returns 0, or -1 for a
// null argument.
int canObj2UserObj(const _KCAN_CAN_OBJ* canObj, _KCAN_USER_OBJ* obj);
int canfdObj2UserObj(const _KCAN_CANFD_OBJ* fdObj, _KCAN_USER_OBJ* obj);

// Alternative "ID#DATA" / "ID:DATA" form.
//
// parse_hex_data stores up to max bytes from text and returns their count.
// Runs of '-', ' ' and ':' separate bytes, other non-hexadecimal characters
// are skipped, two adjacent digits form one byte and a lone digit forms the
// high nibble: "11-22 3:A" gives 11 22 30 A0.
int parse_hex_data(const char* text, uint8_t* out, int max);
// strtol(text, 16) cut to 32 bits; 0 for a null text.
uint32_t parse_hex_id(const char* text);
// Splits text at the first '#' (or, without one, the first ':'), sets id,
// ext (id above 0x7FF), txOption 0, len and data; leaves the other fields.
// Returns 0, or -1 without a separator, with an identifier text longer than
// 15 characters or for a null argument. "18FF1234#0102" gives an extended
// frame with two bytes.
int parse_can_frame(const char* text, _KCAN_CAN_OBJ* canObj);
