"""The packets a kestrun owner exchanges with its clients, and the models.

Every message on the owner's socket is one 272-byte packet in host byte
order (both ends run on one machine); its layout is pinned in the tool's
app/rpc_packet.h.
"""
import struct
import sys

PKG_SIZE = 272

SEND_REQ = 0
RECV_FRAME = 1
STATS = 2
INIT_REQ = 3
SEND_RESULT = 11
INIT_RESULT = 12

FD_BRS = 0x08  # _KCAN_CANFD_OBJ.frameFlags

_ORDER = "<" if sys.byteorder == "little" else ">"
# cmd, reserved0 (the requester's tag, echoed in results), devType,
# devIndex, channel.
_HEADER = struct.Struct(_ORDER + "B3sIII")
_IS_FD = 16
# The frame records: identifier, (time stamp), flags, (txOption), rtr, ext,
# len, data.
_CLASSIC = struct.Struct(_ORDER + "I4xBxBBB3x8s")
_CLASSIC_AT = 20
_FD = struct.Struct(_ORDER + "I4xBxBBB3x64s")
_FD_AT = 44
_RESULT = struct.Struct(_ORDER + "i")
_RESULT_AT = 124
# The owner's wall-clock stamp of a frame in microseconds: the first 8 bytes
# of the statistics area, little-endian; 0 when not given.
_STAMP = struct.Struct("<Q")
_STAMP_AT = 128
_RATES = struct.Struct(_ORDER + "IIBB")
_RATES_AT = 256
# Everything a received frame or a send result carries, in one unpack.
_FRAME = struct.Struct(_ORDER + "B3sIII" "B3x" + _CLASSIC.format[1:] + _FD.format[1:] + "i")
assert _FRAME.size == _RESULT_AT + 4 and _FD_AT + _FD.size == _RESULT_AT

ARBITRATION_RATES = (50000, 100000, 125000, 250000, 500000, 800000, 1000000)
DATA_RATES = ARBITRATION_RATES + (2000000, 4000000, 5000000)
FD_LENGTHS = (0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64)


class Model:
    def __init__(self, name, dev_type, channels, fd):
        self.name, self.dev_type, self.channels, self.fd = name, dev_type, channels, fd


MODELS = {m.name: m for m in (
    Model("DUNLIN1", 3, 2, False),
    Model("DUNLIN2", 4, 2, False),
    Model("DUNLINFD2", 41, 2, True),
    Model("DUNLINFD1", 42, 2, True),
    Model("DUNLINFD-Mini", 43, 2, True),
    Model("ZARO3014", 64, 4, True),
    Model("ZARO2014", 65, 4, False),
    Model("ZARO2018", 66, 8, False),
    Model("ZARO3018", 67, 8, True),
)}


def find_model(name):
    """The model of a name written in any case, or None."""
    for model in MODELS.values():
        if str(name).lower() == model.name.lower():
            return model
    return None


def socket_path(model_name, index):
    return f"/tmp/Kestrun_{model_name}_{index}.sock"


def _packet(cmd, tag, dev_type, index, channel):
    buf = bytearray(PKG_SIZE)
    _HEADER.pack_into(buf, 0, cmd, tag, dev_type, index, channel)
    return buf


def init_request(dev_type, index, channel, bitrate, data_bitrate, fd, iso):
    buf = _packet(INIT_REQ, b"\0\0\0", dev_type, index, channel)
    _RATES.pack_into(buf, _RATES_AT, bitrate, data_bitrate, 1 if fd else 0, 1 if iso else 0)
    return bytes(buf)


def send_request(tag, dev_type, index, channel, msg):
    """The request for a message that Bus.send has checked."""
    buf = _packet(SEND_REQ, tag, dev_type, index, channel)
    ext = 1 if msg.is_extended_id else 0
    if msg.is_fd:
        buf[_IS_FD] = 1
        flags = FD_BRS if msg.bitrate_switch else 0
        _FD.pack_into(buf, _FD_AT, msg.arbitration_id, flags, 0, ext, len(msg.data),
                      bytes(msg.data))
    elif msg.is_remote_frame:
        _CLASSIC.pack_into(buf, _CLASSIC_AT, msg.arbitration_id, 0, 1, ext, msg.dlc, b"")
    else:
        _CLASSIC.pack_into(buf, _CLASSIC_AT, msg.arbitration_id, 0, 0, ext, len(msg.data),
                           bytes(msg.data))
    return bytes(buf)


def header(buf, offset):
    """cmd, tag, devType, devIndex, channel and result of the packet at offset."""
    cmd, tag, dev_type, index, channel = _HEADER.unpack_from(buf, offset)
    (result,) = _RESULT.unpack_from(buf, offset + _RESULT_AT)
    return cmd, tag, dev_type, index, channel, result


def frame_fields(buf, offset):
    """(is_fd, id, extended, remote, dlc, data, brs, stamp_us) of the frame
    packet at offset; data cut to the record's length."""
    (_, _, _, _, _, is_fd, cid, _, crtr, cext, clen, cdata,
     fid, fflags, _, fext, flen, fdata, _) = _FRAME.unpack_from(buf, offset)
    (stamp,) = _STAMP.unpack_from(buf, offset + _STAMP_AT)
    if is_fd:
        flen = min(flen, 64)
        return True, fid, fext, False, flen, fdata[:flen], bool(fflags & FD_BRS), stamp
    clen = min(clen, 8)
    if crtr:
        return False, cid, cext, True, clen, b"", False, stamp
    return False, cid, cext, False, clen, cdata[:clen], False, stamp
