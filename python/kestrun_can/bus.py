"""python-can bus of a channel of a kestrun adapter.

The bus is a client of the adapter's owner: a kestrun process that has the
adapter open and serves /tmp/Kestrun_<model>_<index>.sock. When no owner
runs, the bus starts one (`kestrun --serve`), which ends by itself a few
seconds after its last client has gone.
"""
import collections
import glob
import logging
import os
import queue
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time

import can
from can.broadcastmanager import ThreadBasedCyclicSendTask
from can import BusState, CanInitializationError, CanOperationError, CanTimeoutError

from . import protocol

log = logging.getLogger("can.kestrun")

# Requests in flight at most, as the tool's own clients keep: enough for the
# owner to find the next batch waiting while it transmits one.
TX_WINDOW = 64
# Received frames kept for recv() at most; beyond that the newest are
# dropped, as a socket drops what its buffer cannot take.
RX_QUEUE_MAX = 200_000
START_TIMEOUT = 15.0  # for an owner to come up (opening the adapter included)
INIT_TIMEOUT = 10.0  # for the owner's answer to the channel's initialisation
LAST_RESULTS_WAIT = 5.0  # at shutdown, for the frames still in flight
_RETRY = 0.02

_instances = 0
_instances_lock = threading.Lock()


def _next_tag():
    """Three bytes that mark this bus's requests: results come back to every
    client of the channel, and the tag tells which are ours. Never all zero
    (the owner's own frames carry none)."""
    global _instances
    with _instances_lock:
        _instances += 1
        serial = _instances
    value = ((os.getpid() & 0x3FFFF) << 5 | (serial & 0x1F)) | 0x800000
    return value.to_bytes(3, "little")


def _peer_uid(sock):
    creds = sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i"))
    return struct.unpack("3i", creds)[1]


def _connect(path):
    """A connected socket to the owner at path, or None when nobody serves it.
    Refuses an owner of another user: anybody may serve a socket in /tmp."""
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        sock.connect(path)
    except (FileNotFoundError, ConnectionRefusedError):
        sock.close()
        return None
    except OSError as e:
        sock.close()
        raise CanInitializationError(f"cannot connect to {path}: {e}") from None
    uid = _peer_uid(sock)
    if uid not in (os.geteuid(), 0):
        sock.close()
        raise CanInitializationError(
            f"{path} is served by another user (uid {uid}): not using it")
    return sock


def find_kestrun(kestrun_path=None):
    """The kestrun executable: kestrun_path, else $KESTRUN_BIN, else PATH."""
    if kestrun_path or os.environ.get("KESTRUN_BIN"):
        where, path = (("kestrun_path=", kestrun_path) if kestrun_path
                       else ("$KESTRUN_BIN", os.environ["KESTRUN_BIN"]))
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
        raise CanInitializationError(
            f"cannot start a kestrun owner: {where} {path!r} is not an executable file")
    found = shutil.which("kestrun")
    if found is None:
        raise CanInitializationError(
            "cannot start a kestrun owner: no kestrun_path=, $KESTRUN_BIN unset and no kestrun "
            f"on PATH ({os.environ.get('PATH', '')})")
    return found


_ANSI = re.compile(r"\x1b\[[0-9;]*m")


class KestrunBus(can.BusABC):
    """A channel of a Kestrun USB-to-CAN adapter, shared with kestrun processes.

    :param channel: CAN channel of the adapter, 0 up to the model's count - 1.
    :param model: adapter model, e.g. "ZARO3018" (required).
    :param index: index among adapters of that model (default 0).
    :param bitrate: arbitration bit rate in bit/s (default 500000).
    :param data_bitrate: CAN FD data bit rate in bit/s; needed with ``fd``.
    :param fd: initialise the channel for CAN FD.
    :param iso: ISO CAN FD framing (default non-ISO, like kestrun).
    :param receive_own_messages: also receive the frames this bus sent.
    :param auto_start: start ``kestrun --serve`` when no owner runs.
    :param kestrun_path: the kestrun executable for auto_start (else
        $KESTRUN_BIN, else PATH).

    A channel that is initialised already keeps the bit rates it was given
    first. ``send`` hands the frame to the owner and returns; a frame the
    adapter then fails to send raises on the next ``send``.
    """

    def __init__(self, channel=0, model=None, index=0, bitrate=500000, data_bitrate=None,
                 fd=False, iso=False, receive_own_messages=False, auto_start=True,
                 kestrun_path=None, can_filters=None, **kwargs):
        self._closed = True  # until the connection stands
        self._model, self._index, self._channel = self._check_config(
            model, index, channel, bitrate, data_bitrate, fd)
        self.channel = self._channel
        self._bitrate = int(bitrate)
        self._fd = bool(fd)
        self._data_bitrate = int(data_bitrate) if self._fd else 0
        self._iso = bool(iso)
        self._own = bool(receive_own_messages)
        self._tag = _next_tag()
        self._path = protocol.socket_path(self._model.name, self._index)

        # Results and the connection's state; the send window waits on it.
        self._cond = threading.Condition()
        self._in_flight = collections.deque()  # identifiers of own requests
        self._tx_failure = None
        self._error = None
        self._init_result = None
        self._send_lock = threading.Lock()
        # Received frames: the reader hands over the frames of each read as
        # one batch; recv takes a batch at a time, so a stream costs one
        # hand-over a read rather than a lock dance a frame.
        self._batches = queue.SimpleQueue()  # lists of (packet buffer, offset, is_rx); _END
        self._pending = collections.deque()  # of the batch recv is taking from
        self._recv_lock = threading.Lock()
        self._count_lock = threading.Lock()
        self._queued = 0  # frames accepted and not yet returned by recv
        self._rx_overflow = False
        self._notify = None  # (read end, write end) once fileno() was asked for
        self._signalled = False

        self._sock = self._open(auto_start, kestrun_path)
        self._closed = False
        self.channel_info = (
            f"Kestrun {self._model.name} #{self._index} channel {self._channel}, "
            f"{self._bitrate} bit/s" + (f" / {self._data_bitrate} bit/s FD" if self._fd else ""))
        super().__init__(channel=self._channel, can_filters=can_filters, **kwargs)

    # -- configuration ------------------------------------------------------

    @staticmethod
    def _check_config(model_name, index, channel, bitrate, data_bitrate, fd):
        names = ", ".join(protocol.MODELS)
        if model_name is None:
            raise CanInitializationError(f"the kestrun interface needs model= (one of {names})")
        model = protocol.find_model(model_name)
        if model is None:
            raise CanInitializationError(f"unknown model {model_name!r} (one of {names})")
        try:
            index = int(index)
            channel = int(str(channel).strip())
        except ValueError:
            raise CanInitializationError(
                f"channel and index are numbers, not {channel!r} / {index!r}") from None
        if index < 0:
            raise CanInitializationError(f"index {index} is negative")
        if not 0 <= channel < model.channels:
            raise CanInitializationError(
                f"{model.name} has channels 0..{model.channels - 1}, not {channel}")
        rates = ", ".join(map(str, protocol.ARBITRATION_RATES))
        if bitrate is None or int(bitrate) not in protocol.ARBITRATION_RATES:
            raise CanInitializationError(
                f"{model.name} takes no bit rate {bitrate} (arbitration rates: {rates})")
        if fd or data_bitrate is not None:
            if not model.fd:
                raise CanInitializationError(f"{model.name} has no CAN FD (fd / data_bitrate)")
            if not fd:
                raise CanInitializationError("data_bitrate is for CAN FD: give fd=True as well")
            drates = ", ".join(map(str, protocol.DATA_RATES))
            if data_bitrate is None or int(data_bitrate) not in protocol.DATA_RATES:
                raise CanInitializationError(
                    f"{model.name} takes no data bit rate {data_bitrate} (data rates: {drates})")
        return model, index, channel

    def _serve_command(self, exe):
        args = [exe, "--serve", "-D", self._model.name, "-i", str(self._index),
                "-c", str(self._channel), "-a", str(self._bitrate)]
        if self._fd:
            args += ["-d", str(self._data_bitrate)]
            if self._iso:
                args += ["--iso", "1"]
        return args

    # -- connection ---------------------------------------------------------

    def _open(self, auto_start, kestrun_path):
        deadline = time.monotonic() + START_TIMEOUT
        started = None
        while True:
            sock = _connect(self._path)
            if sock is None and not auto_start:
                command = " ".join(self._serve_command("kestrun"))
                raise CanInitializationError(
                    f"no kestrun owner serves {self._path}; start one with: {command}")
            if sock is None and started is None:
                started = self._start_owner(kestrun_path)
            if sock is None:
                self._check_started(started, deadline)
                time.sleep(_RETRY)
                continue
            try:
                self._initialise(sock)
                return sock
            except _OwnerEnded:
                # An owner that was just ending: start (or find) another.
                if time.monotonic() >= deadline:
                    raise CanInitializationError(
                        f"the kestrun owner at {self._path} closed the connection") from None
                started = None

    def _start_owner(self, kestrun_path):
        exe = find_kestrun(kestrun_path)
        # The owner's messages go to a file it keeps (unlinked), so that it
        # never writes into a pipe nobody reads; they explain a failed start.
        output = tempfile.TemporaryFile()
        try:
            proc = subprocess.Popen(self._serve_command(exe), stdin=subprocess.DEVNULL,
                                    stdout=output, stderr=output, start_new_session=True)
        except OSError as e:
            output.close()
            raise CanInitializationError(f"cannot start {exe}: {e}") from None
        # Reaps it whenever it ends; the owner outlives this bus by design.
        threading.Thread(target=proc.wait, name="kestrun owner reaper", daemon=True).start()
        log.info("started kestrun owner (pid %d): %s", proc.pid,
                 " ".join(self._serve_command(exe)))
        return proc, output

    def _check_started(self, started, deadline):
        proc, output = started
        status = proc.poll()
        if status not in (None, 0):
            output.seek(0)
            text = _ANSI.sub("", output.read().decode("utf-8", "replace"))
            lines = [line for line in text.splitlines() if "ERROR" in line] or text.splitlines()
            raise CanInitializationError(
                f"kestrun --serve for {self._model.name} #{self._index} ended with status "
                f"{status}: " + " / ".join(line.strip() for line in lines[-3:]))
        # Status 0: another process owns the adapter and is still starting.
        if time.monotonic() >= deadline:
            raise CanInitializationError(
                f"no kestrun owner came up at {self._path} within {START_TIMEOUT:.0f} s")

    def _initialise(self, sock):
        self._sock = sock
        self._init_result = None
        self._error = None
        self._batches = queue.SimpleQueue()
        self._queued = 0
        self._reader = threading.Thread(target=self._read_loop, args=(sock,),
                                        name=f"kestrun {self._path}", daemon=True)
        self._reader.start()
        request = protocol.init_request(self._model.dev_type, self._index, self._channel,
                                        self._bitrate, self._data_bitrate, self._fd, self._iso)
        try:
            sock.sendall(request)
        except OSError:
            pass  # the reader sees the connection end
        with self._cond:
            self._cond.wait_for(lambda: self._init_result is not None or self._error is not None,
                                INIT_TIMEOUT)
            result, error = self._init_result, self._error
        if result is not None and result >= 0:
            return
        self._close_socket()
        if result is not None:
            rates = f"{self._bitrate}" + (f"/{self._data_bitrate}" if self._fd else "")
            raise CanInitializationError(
                f"the kestrun owner could not initialise channel {self._channel} of "
                f"{self._model.name} #{self._index} at {rates} bit/s")
        if error is not None:
            raise _OwnerEnded()
        raise CanInitializationError(
            f"the kestrun owner at {self._path} did not answer within {INIT_TIMEOUT:.0f} s")

    def _close_socket(self):
        try:
            self._sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._reader.join()
        self._sock.close()

    # -- the reader ---------------------------------------------------------

    def _read_loop(self, sock):
        size = protocol.PKG_SIZE
        pending = b""
        while True:
            try:
                chunk = sock.recv(256 * size)
            except OSError:
                chunk = b""
            if not chunk:
                self._fail(CanOperationError(
                    f"the kestrun owner of {self._model.name} #{self._index} has gone "
                    f"(connection to {self._path} closed)"))
                return
            if pending:
                chunk = pending + chunk
            whole = len(chunk) - len(chunk) % size
            pending = chunk[whole:]
            self._dispatch(chunk, whole)

    def _dispatch(self, buf, end):
        frames = []
        results = []
        init = None
        for offset in range(0, end, protocol.PKG_SIZE):
            cmd, tag, dev_type, index, channel, result = protocol.header(buf, offset)
            if (channel != self._channel or index != self._index
                    or dev_type != self._model.dev_type):
                continue
            if cmd == protocol.RECV_FRAME:
                frames.append((buf, offset, True))
            elif cmd == protocol.SEND_RESULT:
                if tag == self._tag:
                    results.append(result)
                    if result > 0 and self._own:
                        frames.append((buf, offset, False))
                elif result > 0:
                    frames.append((buf, offset, False))  # another process sent it
            elif cmd == protocol.INIT_RESULT:
                init = result
        if frames:
            with self._count_lock:
                room = RX_QUEUE_MAX - self._queued
                if len(frames) > room:
                    if not self._rx_overflow:
                        log.warning("%s: %d received frames not read: dropping frames",
                                    self.channel_info, RX_QUEUE_MAX)
                    self._rx_overflow = True
                    frames = frames[:max(room, 0)]
                if frames:
                    self._queued += len(frames)
                    self._batches.put(frames)
                    self._sync_notify()
        if results or init is not None:
            with self._cond:
                if init is not None:
                    self._init_result = init
                for result in results:
                    frame_id = self._in_flight.popleft() if self._in_flight else None
                    if result <= 0 and self._tx_failure is None:
                        self._tx_failure = CanOperationError(
                            f"frame {frame_id:#x} was not sent: the adapter refused it "
                            f"(owner's result {result})" if frame_id is not None else
                            f"a frame was not sent (owner's result {result})")
                self._cond.notify_all()

    def _fail(self, error):
        with self._cond:
            self._error = error
            self._cond.notify_all()
        self._end_batches()

    def _end_batches(self):
        """Wakes recv: after the frames queued so far it raises."""
        self._batches.put(_END)
        with self._count_lock:
            self._sync_notify()

    def _sync_notify(self):
        """Keeps the notify pipe readable while recv has something to return
        (a frame or an error). Caller holds _count_lock."""
        if self._notify is None:
            return
        want = self._queued > 0 or self._error is not None or self._closed
        if want and not self._signalled:
            os.write(self._notify[1], b"\1")
            self._signalled = True
        elif not want and self._signalled:
            os.read(self._notify[0], 1)
            self._signalled = False

    # -- python-can interface -----------------------------------------------

    def _message(self, buf, offset, is_rx):
        is_fd, ident, ext, remote, dlc, data, brs, stamp = protocol.frame_fields(buf, offset)
        return can.Message(timestamp=stamp / 1e6 if stamp else time.time(), arbitration_id=ident,
                           is_extended_id=bool(ext), is_remote_frame=remote, dlc=dlc, data=data,
                           is_fd=is_fd, bitrate_switch=brs, is_rx=is_rx, channel=self._channel)

    def _recv_internal(self, timeout):
        with self._recv_lock:
            if self._closed:
                raise CanOperationError("the bus is shut down")
            if not self._pending:
                self._raise_if_unusable(only_when_drained=True)
                try:
                    batch = self._batches.get(timeout=None if timeout is None else max(timeout, 0))
                except queue.Empty:
                    return None, False
                if batch is _END:
                    self._batches.put(_END)  # for every later call too
                    self._raise_if_unusable()
                self._pending.extend(batch)
            entry = self._pending.popleft()
            with self._count_lock:
                self._queued -= 1
                if self._queued == 0:
                    self._rx_overflow = False
                    self._sync_notify()
        return self._message(*entry), False

    def send(self, msg, timeout=None):
        request = protocol.send_request(self._tag, self._model.dev_type, self._index,
                                        self._channel, self._checked(msg))
        with self._send_lock:
            with self._cond:
                self._raise_if_unusable()
                if self._tx_failure is not None:
                    failure, self._tx_failure = self._tx_failure, None
                    raise failure
                if len(self._in_flight) >= TX_WINDOW:
                    self._cond.wait_for(
                        lambda: len(self._in_flight) < TX_WINDOW or self._closed
                        or self._error is not None, timeout)
                    self._raise_if_unusable()
                    if len(self._in_flight) >= TX_WINDOW:
                        raise CanTimeoutError(
                            f"{TX_WINDOW} frames still wait for the owner after {timeout} s: "
                            "frame not sent")
                self._in_flight.append(msg.arbitration_id)
            try:
                self._sock.sendall(request)
            except OSError as e:
                self._fail(CanOperationError(f"sending to the kestrun owner failed: {e}"))
                raise self._error from None

    def _raise_if_unusable(self, only_when_drained=False):
        if self._closed:
            raise CanOperationError("the bus is shut down")
        if self._error is not None and not (only_when_drained and self._queued > 0):
            raise self._error

    def _checked(self, msg):
        """The message when the channel can carry it; raises before anything
        is sent otherwise."""
        ident = msg.arbitration_id
        if msg.is_error_frame:
            raise CanOperationError("error frames cannot be sent")
        limit = 0x1FFFFFFF if msg.is_extended_id else 0x7FF
        if not 0 <= ident <= limit:
            kind = "extended" if msg.is_extended_id else "standard"
            raise CanOperationError(f"identifier {ident:#x} is out of range for a {kind} frame")
        if msg.is_fd:
            if not self._fd:
                raise CanOperationError(
                    f"CAN FD frame {ident:#x} on channel {self._channel}, which was opened "
                    "for classic CAN (fd=False)")
            if msg.is_remote_frame:
                raise CanOperationError("CAN FD has no remote frames")
            if len(msg.data) not in protocol.FD_LENGTHS:
                raise CanOperationError(
                    f"CAN FD frames carry 0..8, 12, 16, 20, 24, 32, 48 or 64 bytes, "
                    f"not {len(msg.data)}")
        elif msg.is_remote_frame:
            if not 0 <= msg.dlc <= 8:
                raise CanOperationError(f"a remote frame requests 0..8 bytes, not {msg.dlc}")
        elif len(msg.data) > 8:
            raise CanOperationError(f"classic frames carry at most 8 bytes, not {len(msg.data)}")
        return msg

    def _send_periodic_internal(self, msgs, period, duration=None):
        if not hasattr(self, "_lock_send_periodic"):
            self._lock_send_periodic = threading.Lock()
        return _CyclicSendTask(self, self._lock_send_periodic, msgs, period, duration)

    def fileno(self):
        """Readable while recv(0) has a frame (or an error) to return."""
        with self._count_lock:
            if self._notify is None:
                self._notify = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
                self._sync_notify()
        return self._notify[0]

    @property
    def state(self):
        return BusState.ERROR if self._error is not None else BusState.ACTIVE

    @state.setter
    def state(self, new_state):
        raise NotImplementedError("the kestrun interface cannot change the bus state")

    def shutdown(self):
        """Leaves the owner; one this bus started ends a few seconds after
        its last client. Idempotent."""
        if self._closed:
            return
        super().shutdown()  # no periodic task sends any more
        with self._cond:
            if self._closed:
                return
            # The owner drops the requests of a client that has gone: the
            # frames handed to send() go out first (as the tool's clients wait).
            self._cond.wait_for(lambda: not self._in_flight or self._error is not None,
                                LAST_RESULTS_WAIT)
            self._closed = True
            self._cond.notify_all()
        self._end_batches()
        self._close_socket()
        if self._notify is not None:
            os.close(self._notify[0])
            os.close(self._notify[1])

    @staticmethod
    def _detect_available_configs():
        """The channels of every adapter whose owner runs (as this user or root)."""
        configs = []
        pattern = re.compile(r"^Kestrun_(.+)_(\d+)\.sock$")
        for path in sorted(glob.glob("/tmp/Kestrun_*_*.sock")):
            match = pattern.match(os.path.basename(path))
            model = match and protocol.MODELS.get(match.group(1))
            if model is None:
                continue
            try:
                sock = _connect(path)
            except CanInitializationError:
                continue
            if sock is None:
                continue
            sock.close()
            index = int(match.group(2))
            configs += [{"interface": "kestrun", "channel": c, "model": model.name,
                         "index": index} for c in range(model.channels)]
        return configs


_END = object()  # in the batch queue: the connection or the bus has ended


class _CyclicSendTask(ThreadBasedCyclicSendTask):
    """python-can's periodic task, sending each frame a period after the
    previous one was due rather than a period after it went: a late wake-up
    then shortens the next pause instead of stretching the period for good."""

    def _run(self):
        index = 0
        due = time.perf_counter()
        while not self.stopped:
            with self.send_lock:
                try:
                    self.bus.send(self.messages[index])
                except Exception as exc:  # as the base task: on_error decides
                    log.exception(exc)
                    if not (self.on_error and self.on_error(exc)):
                        break
            now = time.perf_counter()
            if self.end_time is not None and now >= self.end_time:
                break
            index = (index + 1) % len(self.messages)
            due = max(due + self.period, now - self.period)  # no burst after a long stall
            if due > now:
                time.sleep(due - now)


class _OwnerEnded(Exception):
    """The owner closed the connection before it answered the init request."""
